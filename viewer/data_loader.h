// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads a data set (a data file, or a unit's series) on a thread of its own so that the
// window keeps drawing while it loads. Progress and the result come back to the UI thread
// through the program's one hand-over (ui_handover/ui_handover.h: a guarded queue and an eventfd
// read on the UI thread); progress is coalesced to the latest figure.
//
// The reading thread is never waited for: cancelling (or destroying the loader) tells it to
// stop and lets it go, so closing a tab or the window returns at once even when the reading
// is stuck in the kernel (a file on a server that went away). The thread owns what it reads
// and shares only a small run record with the loader; once the loader has let it go, nothing
// it finds is delivered. The reading thread runs at a lower priority than the window (and
// than anything else the operator runs, a download included).

#include "ui_handover/ui_handover.h"
#include "viewer_reader/data_file.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

namespace viewer {

class DataLoader : public QObject {
    Q_OBJECT
public:
    // A reading, run on the loader's thread: polls `cancel`, tells its progress in percent.
    using Reading = std::function<DataSet(const std::atomic<bool>& cancel, const ProgressFn&)>;

    explicit DataLoader(QObject* parent = nullptr);
    ~DataLoader() override;

    // Starts reading the data file `path`; a reading still running is cancelled first.
    void start(const QString& path);
    // Starts any other reading; `label` names it in a failure.
    void start(const QString& label, Reading reading);
    void cancel();
    bool running() const { return m_running; }

signals:
    void progress(int percent);
    void loaded(std::shared_ptr<viewer::DataSet> set); // the receiver may still settle it

private:
    struct Run; // what the loader and its reading thread share
    void stop();
    // UI thread: shows the latest progress left.
    void showProgress(Run& run);

    platform::UiHandover m_toUi;
    std::shared_ptr<Run> m_run;
    bool m_running = false;
};

} // namespace viewer
