// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads a data file on a thread of its own so that the window keeps drawing while a large
// file loads. Progress and the result come back to the UI thread through the program's one
// hand-over (platform/ui_handover.h: a guarded queue and an eventfd read on the UI thread);
// progress is coalesced to the latest figure.
// Destroying the loader cancels the reading and waits for the thread, so a closed window
// never receives a late result. The reading thread runs at a lower priority than the window
// (and than anything else the operator runs, a download included).

#include "platform/ui_handover.h"
#include "viewer/data_file.h"

#include <QObject>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

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
    // Worker thread: hands progress or the result to the UI thread.
    void post(int percent, std::shared_ptr<DataSet> set);
    // UI thread: shows the latest progress left.
    void showProgress();

    platform::UiHandover m_toUi;
    std::mutex m_lock;         // guards the one below
    int m_pendingPercent = -1; // the latest progress not yet shown (coalesced)
    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    bool m_running = false;
};

} // namespace viewer
