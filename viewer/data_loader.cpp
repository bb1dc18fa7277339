// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/data_loader.h"

#include <sys/resource.h>
#include <unistd.h>

#include <exception>
#include <new>

namespace viewer {

namespace {

std::shared_ptr<DataSet> failure(const QString& path, const QString& why) {
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

void DataLoader::post(int percent, std::shared_ptr<DataSet> set) {
    if (set) {
        m_toUi.post([this, set = std::move(set)] {
            m_running = false;
            emit loaded(set);
        });
        return;
    }
    bool first;
    {
        std::lock_guard lock(m_lock);
        first = m_pendingPercent < 0;
        m_pendingPercent = percent;
    }
    // One call shows whatever figure is latest when it runs.
    if (first)
        m_toUi.post([this] { showProgress(); });
}

void DataLoader::showProgress() {
    int percent;
    {
        std::lock_guard lock(m_lock);
        percent = m_pendingPercent;
        m_pendingPercent = -1;
    }
    if (percent >= 0)
        emit progress(percent);
}

void DataLoader::cancel() {
    stop();
}

void DataLoader::stop() {
    if (m_cancel)
        m_cancel->store(true);
    if (m_thread.joinable())
        m_thread.join();
    // The run has ended: nothing it handed over is delivered.
    m_toUi.discard();
    {
        std::lock_guard lock(m_lock);
        m_pendingPercent = -1;
    }
    m_running = false;
}

void DataLoader::start(const QString& path) {
    stop();
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    m_running = true;
    auto cancelFlag = m_cancel;
    // Runs on the loader's own thread; the loader outlives it (its destructor joins it).
    m_thread = std::thread([this, path, cancelFlag] {
        int shown = -1;
        auto report = [this, &shown](int percent) {
            if (percent == shown)
                return;
            shown = percent;
            post(percent, nullptr);
        };
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 15);
        // Nothing may leave this thread: an exception here would end the program.
        std::shared_ptr<DataSet> set;
        try {
            set = std::make_shared<DataSet>(loadDataFile(path, cancelFlag.get(), report));
        } catch (const std::bad_alloc&) {
            set =
                failure(path, QStringLiteral("The file is too large for this computer's memory."));
        } catch (const std::exception& e) {
            set = failure(path, QStringLiteral("The file cannot be read: %1")
                                    .arg(QString::fromLocal8Bit(e.what())));
        }
        if (!cancelFlag->load())
            post(0, std::move(set));
    });
}

} // namespace viewer
