// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Units window's part in the series: the selected unit's series (one per data set, from
// series.sqlite in the program's files folder, read only) and the export of one as CSV. Both
// run on a thread of their own, one job after another, never on the UI thread: a series of
// millions of records takes seconds to write, and the program's own writes to the store must
// not wait for a reader. The answers come back to the UI thread through platform::UiHandover.
//
// The export is the operator's file: written under a temporary name beside it, synced, given
// its name (replacing a file of that name only when the operator said so in the file dialog)
// and its folder synced, all through platform/durable_file.h, before it is said to be done;
// on any failure the temporary file goes and nothing else is touched.
//
// Made and destroyed on the UI thread; the destructor stops an export still running (its
// temporary file removed) and waits for the thread.

#include "series/series_store.h"
#include "ui_handover/ui_handover.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class UnitSeries : public QObject {
    Q_OBJECT
public:
    struct Listing {
        std::string serial;
        std::vector<series::SeriesInfo> series;
        std::string error; // the store could not be read (no store is no error: no series)
    };
    struct Outcome {
        bool ok = false;
        std::string name; // the data set's
        std::string path;
        long long records = 0;
        std::string error;
        std::string clockNote; // the organisation's clock sets not learnt: why
        // "Exported 5000 records of SITE1 to /path" or why not.
        QString text() const;
    };

    explicit UnitSeries(QObject* parent = nullptr);
    ~UnitSeries() override;

    // Lists the series of the unit `serial` in the files folder's store; listed() answers.
    void list(const std::string& filesFolder, const std::string& serial);
    // Writes `info`'s series as CSV to `path`; `replace`: the operator confirmed replacing a
    // file of that name. exported() answers.
    void exportTo(const std::string& filesFolder, const series::SeriesInfo& info,
                  const std::string& path, bool replace);
    // An export is queued or running.
    bool exporting() const { return m_exports > 0; }

    // "SITE1 (set 2): 5000 records, 2 segments, 12 provisional", as the list shows it.
    static QString describe(const series::SeriesInfo& info);

signals:
    void listed(const UnitSeries::Listing& listing);
    void exported(const UnitSeries::Outcome& outcome);

private:
    // The worker thread's loop, and what it runs.
    void run();
    void post(std::function<void()> job);
    Outcome write(const std::string& filesFolder, const series::SeriesInfo& info,
                  const std::string& path, bool replace);

    platform::UiHandover m_toUi;
    std::mutex m_lock; // guards the two below, with m_wake
    std::deque<std::function<void()>> m_jobs;
    bool m_stop = false;
    std::condition_variable m_wake;
    std::atomic<bool> m_cancel{false}; // the export running stops at its next piece
    int m_exports = 0;                 // UI thread only
    std::thread m_thread;
};
