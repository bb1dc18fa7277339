// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's unit register, run on a thread of its own. The event sites (connect, battery,
// clock, download, clear) hand their record over and go on at once; queries come back to the
// UI thread through the hand-over (platform/ui_handover.h). So the UI thread never waits for the
// disk or for another copy of the program holding the register's write lock: that copy's
// transactions last milliseconds, but a checkpoint, a slow or full disk or a network folder may
// take far longer, and a download or a window must never wait for them. The thread itself waits up
// to two seconds for the write lock before it gives an event up.
//
// Jobs run in the order they were handed in, so a query sees every record made before it.
// A register that cannot be opened, or an event that cannot be written, is reported once
// (the first through `troubled`, the program shows it; write failures to the run log), and
// the program goes on as before.

#include "platform/ui_handover.h"
#include "register/unit_register.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Lives on the UI thread; carries the register's news to the windows.
class RegisterSignals : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
signals:
    // An event of this unit was recorded.
    void recorded(const QByteArray& serial);
    // The register cannot be used (or was moved aside): the text for the operator, once.
    void troubled(const QString& message);
};

class RegisterWriter {
public:
    RegisterWriter();
    ~RegisterWriter(); // close()
    RegisterWriter(const RegisterWriter&) = delete;
    RegisterWriter& operator=(const RegisterWriter&) = delete;

    // Starts the thread and opens `path` on it; waits up to `wait` for the outcome, so that
    // the program can tell the operator at start. UI thread.
    unitreg::OpenOutcome open(const std::string& path,
                              std::chrono::milliseconds wait = std::chrono::seconds(3));
    // Writes what is queued (for at most `deadline`), then ends the thread. UI thread.
    void close(std::chrono::milliseconds deadline = std::chrono::seconds(5));
    bool running() const { return m_thread.joinable(); }
    // Opened and not given up; UI thread's view after open().
    bool available() const { return m_available; }
    const std::string& unavailableWhy() const { return m_why; }
    const std::string& path() const { return m_path; }

    // The event sites. Each returns at once; nothing happens when the register is closed.
    void recordVisit(const unitreg::Visit& visit);
    void recordBattery(const unitreg::BatteryReading& reading);
    void recordClockSet(const unitreg::ClockSet& set);
    void recordDownload(const unitreg::Download& download);
    void recordClear(const unitreg::Clear& clear);

    // Runs `work` on the register's thread, then `done` with its result on the UI thread,
    // unless `context` has gone by then. Without a running register, `done` gets what `work`
    // gives on a closed register (empty lists).
    template <class R>
    void query(QObject* context, std::function<R(unitreg::UnitRegister&)> work,
               std::function<void(R)> done) {
        QPointer<QObject> guard(context);
        post([this, guard, work = std::move(work),
              done = std::move(done)](unitreg::UnitRegister& reg) mutable {
            auto result = std::make_shared<R>(work(reg));
            toUiThread([guard, done = std::move(done), result] {
                if (guard)
                    done(std::move(*result));
            });
        });
    }

    // Waits until every job handed in so far has run (tests, the benchmark, the end).
    bool waitIdle(std::chrono::milliseconds deadline);

    RegisterSignals* signalsObject() const { return m_signals; }

private:
    void post(std::function<void(unitreg::UnitRegister&)> job);
    void record(const std::string& serial, std::function<bool(unitreg::UnitRegister&)> write);
    // Any thread: `call` runs on the UI thread, after every call handed over before it.
    void toUiThread(std::function<void()> call);
    void run(std::string path);

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void(unitreg::UnitRegister&)>> m_jobs;
    bool m_busy = false; // a job is running
    bool m_stop = false;
    bool m_opened = false; // the open job has run (under m_mutex)
    unitreg::OpenOutcome m_outcome;
    // Register thread only.
    bool m_writeTroubleLogged = false;
    // UI thread only.
    bool m_available = false;
    std::string m_why;
    std::string m_path;
    RegisterSignals* m_signals = nullptr;
    std::unique_ptr<platform::UiHandover> m_toUi; // made on the UI thread with the writer
};

// The program's register, opened when the main window is first shown.
RegisterWriter& unitRegister();
