// SPDX-License-Identifier: GPL-3.0-or-later
#include "viewer/data_loader.h"

#include <sys/resource.h>
#include <unistd.h>

#include <exception>
#include <mutex>
#include <new>
#include <thread>

namespace viewer {

struct DataLoader::Run {
    std::atomic<bool> cancel{false};
    std::mutex lock;         // guards the two below
    DataLoader* owner;       // null once the loader has let the run go
    int pendingPercent = -1; // the latest progress not yet shown (coalesced)

    explicit Run(DataLoader* o) : owner(o) {}

    // Reading thread. Under the lock, so that a loader letting the run go (which takes it
    // too) is never posted to afterwards.
    void progress(const std::shared_ptr<Run>& self, int percent) {
        std::lock_guard guard(lock);
        if (!owner)
            return;
        const bool first = pendingPercent < 0;
        pendingPercent = percent;
        // One call shows whatever figure is latest when it runs.
        if (first)
            owner->m_toUi.post([o = owner, self] { o->showProgress(*self); });
    }
    void deliver(std::shared_ptr<DataSet> set) {
        std::lock_guard guard(lock);
        if (!owner || cancel.load())
            return;
        owner->m_toUi.post([o = owner, set = std::move(set)] {
            o->m_running = false;
            emit o->loaded(set);
        });
    }
};

namespace {

std::shared_ptr<DataSet> failure(const QString& label, const QString& why) {
    auto set = std::make_shared<DataSet>();
    set->path = label;
    set->error = why;
    return set;
}

} // namespace

DataLoader::DataLoader(QObject* parent) : QObject(parent) {}

DataLoader::~DataLoader() {
    stop();
}

void DataLoader::showProgress(Run& run) {
    int percent;
    {
        std::lock_guard guard(run.lock);
        percent = run.pendingPercent;
        run.pendingPercent = -1;
    }
    if (percent >= 0)
        emit progress(percent);
}

void DataLoader::cancel() {
    stop();
}

void DataLoader::stop() {
    if (m_run) {
        {
            std::lock_guard guard(m_run->lock);
            m_run->owner = nullptr;
        }
        m_run->cancel.store(true);
        m_run.reset(); // the reading thread ends on its own, whenever its reading returns
    }
    // The run has ended for us: nothing it handed over is delivered.
    m_toUi.discard();
    m_running = false;
}

void DataLoader::start(const QString& path) {
    start(path, [path](const std::atomic<bool>& cancel, const ProgressFn& progress) {
        return loadDataFile(path, &cancel, progress);
    });
}

void DataLoader::start(const QString& label, Reading reading) {
    stop();
    auto run = std::make_shared<Run>(this);
    m_run = run;
    m_running = true;
    // Runs on a thread of its own, detached: it shares only `run` with the loader.
    std::thread([run, label, reading = std::move(reading)] {
        int shown = -1;
        const ProgressFn report = [&run, &shown](int percent) {
            if (percent == shown)
                return;
            shown = percent;
            run->progress(run, percent);
        };
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 15);
        // Nothing may leave this thread: an exception here would end the program.
        std::shared_ptr<DataSet> set;
        try {
            set = std::make_shared<DataSet>(reading(run->cancel, report));
        } catch (const std::bad_alloc&) {
            set =
                failure(label, QStringLiteral("The data is too large for this computer's memory."));
        } catch (const std::exception& e) {
            set = failure(label, QStringLiteral("The data cannot be read: %1")
                                     .arg(QString::fromLocal8Bit(e.what())));
        }
        run->deliver(std::move(set));
    }).detach();
}

} // namespace viewer
