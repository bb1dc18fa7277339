#include "viewer/data_loader.h"

#include <QMetaObject>

namespace viewer {

DataLoader::DataLoader(QObject* parent) : QObject(parent) {}

DataLoader::~DataLoader() {
    stop();
}

void DataLoader::cancel() {
    stop();
}

void DataLoader::stop() {
    if (m_cancel)
        m_cancel->store(true);
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
}

void DataLoader::start(const QString& path) {
    stop();
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    m_running = true;
    auto cancelFlag = m_cancel;
    // Runs on the loader's own thread. The queued calls are dropped by Qt if the loader
    // is gone; it cannot be, since its destructor joins this thread first, but a cancelled
    // run's result must not arrive either, hence the flag check on the UI thread.
    m_thread = std::thread([this, path, cancelFlag] {
        int shown = -1;
        auto report = [this, cancelFlag, &shown](int percent) {
            if (percent == shown)
                return;
            shown = percent;
            QMetaObject::invokeMethod(
                this,
                [this, cancelFlag, percent] {
                    if (!cancelFlag->load())
                        emit progress(percent);
                },
                Qt::QueuedConnection);
        };
        auto set = std::make_shared<const DataSet>(loadDataFile(path, cancelFlag.get(), report));
        QMetaObject::invokeMethod(
            this,
            [this, cancelFlag, set] {
                if (cancelFlag->load())
                    return;
                m_running = false;
                emit loaded(set);
            },
            Qt::QueuedConnection);
    });
}

} // namespace viewer
