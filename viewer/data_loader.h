#pragma once
// Reads a data file on a thread of its own so that the window keeps drawing while a large
// file loads. Progress and the result come back to the UI thread as queued calls on the
// loader; destroying the loader cancels the reading and waits for the thread, so a closed
// window never receives a late result.

#include "viewer/data_file.h"

#include <QObject>

#include <atomic>
#include <memory>
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
    void loaded(std::shared_ptr<const viewer::DataSet> set);

private:
    void stop();

    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    bool m_running = false;
};

} // namespace viewer
