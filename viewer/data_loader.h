// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads a data file on a thread of its own so that the window keeps drawing while a large
// file loads. Progress and the result come back to the UI thread through a slot guarded by
// a mutex and an eventfd that a socket notifier reads on the UI thread (the reading thread
// calls nothing of Qt's event machinery, whose locks the race detector cannot see).
// Destroying the loader cancels the reading and waits for the thread, so a closed window
// never receives a late result. The reading thread runs at a lower priority than the window
// (and than anything else the operator runs, a download included).

#include "viewer/data_file.h"

#include <QObject>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class QSocketNotifier;

namespace viewer {

class DataLoader : public QObject {
    Q_OBJECT
public:
    explicit DataLoader(QObject* parent = nullptr);
    ~DataLoader() override;

    // Starts reading `path`; a reading still running is cancelled first.
    void start(const QString& path);
    void cancel();
    bool running() const { return m_running; }

signals:
    void progress(int percent);
    void loaded(std::shared_ptr<viewer::DataSet> set); // the receiver may still settle it

private:
    void stop();
    // Worker thread: leaves progress or the result for the UI thread and wakes it.
    void post(int percent, std::shared_ptr<DataSet> set);
    // UI thread: takes what the worker left.
    void deliver();

    int m_wakeFd = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::mutex m_lock; // guards the three below
    int m_pendingPercent = -1;
    std::shared_ptr<DataSet> m_pendingSet;
    bool m_accepting = false; // false once a run is cancelled: nothing of it is delivered
    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    bool m_running = false;
};

} // namespace viewer
