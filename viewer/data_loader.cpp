// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/data_loader.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
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

DataLoader::DataLoader(QObject* parent) : QObject(parent) {
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd >= 0) {
        m_notifier = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { deliver(); });
    }
}

DataLoader::~DataLoader() {
    stop();
    delete m_notifier;
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void DataLoader::post(int percent, std::shared_ptr<DataSet> set) {
    {
        std::lock_guard lock(m_lock);
        if (!m_accepting)
            return;
        if (set)
            m_pendingSet = std::move(set);
        else
            m_pendingPercent = percent;
    }
    const std::uint64_t one = 1;
    if (m_wakeFd >= 0) [[maybe_unused]]
        const auto n = ::write(m_wakeFd, &one, sizeof one);
}

void DataLoader::deliver() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(m_wakeFd, &count, sizeof count);
    int percent;
    std::shared_ptr<DataSet> set;
    {
        std::lock_guard lock(m_lock);
        percent = m_pendingPercent;
        m_pendingPercent = -1;
        set = std::move(m_pendingSet);
        m_pendingSet.reset();
    }
    if (percent >= 0 && !set)
        emit progress(percent);
    if (set) {
        m_running = false;
        emit loaded(set);
    }
}

void DataLoader::cancel() {
    stop();
}

void DataLoader::stop() {
    {
        std::lock_guard lock(m_lock);
        m_accepting = false;
        m_pendingPercent = -1;
        m_pendingSet.reset();
    }
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
    {
        std::lock_guard lock(m_lock);
        m_accepting = true;
    }
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
