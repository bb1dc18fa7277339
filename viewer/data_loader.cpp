#include "viewer/data_loader.h"

#include <QMetaObject>

#include <exception>
#include <new>

namespace viewer {

namespace {

std::shared_ptr<const DataSet> failure(const QString& path, const QString& why) {
    auto set = std::make_shared<DataSet>();
    set->path = path;
    set->error = why;
    return set;
}

} // namespace

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
        // Nothing may leave this thread: an exception here would end the program.
        std::shared_ptr<const DataSet> set;
        try {
            set = std::make_shared<const DataSet>(loadDataFile(path, cancelFlag.get(), report));
        } catch (const std::bad_alloc&) {
            set =
                failure(path, QStringLiteral("The file is too large for this computer's memory."));
        } catch (const std::exception& e) {
            set = failure(path, QStringLiteral("The file cannot be read: %1")
                                    .arg(QString::fromLocal8Bit(e.what())));
        }
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
