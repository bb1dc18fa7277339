// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's unit register, run on a thread of its own. The event sites (connect, battery,
// clock, download, clear) hand their record over and go on at once; queries come back to the
// UI thread through the hand-over (ui_handover/ui_handover.h). So the UI thread never waits for
// the disk or for another copy of the program holding the register's write lock: that copy's
// transactions last milliseconds, but a checkpoint, a slow or full disk or a network folder
// may take far longer, and a download or a window must never wait for them.
//
// Every event gets its identity when it is handed in. Events are written in the order they
// came; one that meets another program's lock, an I/O error or a full disk waits, with the
// ones behind it, and is tried again after a growing pause (the thread waits `busyMs` for a
// lock on each try). That is told (statusText(), `statusChanged`, warnings()) and never taken
// for damage: the file is moved aside only when SQLite reports it corrupt and a fresh
// quick_check agrees. Events still waiting when the program ends go to the journal beside
// the register (register_journal.h), which the next start writes in. Queries run between
// tries, in the order they were handed in.

#include "register/register_journal.h"
#include "register/unit_register.h"
#include "ui_handover/ui_handover.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Lives on the UI thread; carries the register's news to the windows.
class RegisterSignals : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
signals:
    // An event of this unit was recorded (empty: a unit that gave no serial number).
    void recorded(const QByteArray& serial);
    // The register cannot be used (or was moved aside): the text for the operator, once.
    void troubled(const QString& message);
    // What the register is waiting for (a lock, the disk), for the status panel; empty when
    // every event handed in is written.
    void statusChanged(const QString& text);
};

class RegisterWriter {
public:
    RegisterWriter();
    ~RegisterWriter(); // close()
    RegisterWriter(const RegisterWriter&) = delete;
    RegisterWriter& operator=(const RegisterWriter&) = delete;

    // How long each try waits for another program's lock, and the pauses between tries
    // (doubling from the first to the longest). Set before open().
    int busyMs = 2000;
    std::chrono::milliseconds retryFirst{250};
    std::chrono::milliseconds retryLongest{30000};

    // Starts the thread and opens `path` on it; waits up to `wait` for the outcome, so that
    // the program can tell the operator at start. UI thread.
    unitreg::OpenOutcome open(const std::string& path,
                              std::chrono::milliseconds wait = std::chrono::seconds(3));
    // Writes what is queued (for at most `deadline`; not at all while the register is in
    // trouble), ends the thread and keeps what is left in the journal. UI thread.
    void close(std::chrono::milliseconds deadline = std::chrono::seconds(5));
    bool running() const { return m_thread.joinable(); }
    // Opened and not given up; UI thread's view after open().
    bool available() const { return m_available; }
    const std::string& unavailableWhy() const { return m_why; }
    const std::string& path() const { return m_path; }
    // UI thread: what the register waits for now (empty when nothing), and every trouble
    // met since open(), for `xrq-collect --json`'s warnings (kept after close()).
    const QString& statusText() const { return m_status; }
    const std::vector<std::string>& warnings() const { return m_warnings; }

    // The event sites. Each returns at once with the event's identity; the event is kept
    // from then on (written, waiting, or in the journal at the end). Nothing happens when
    // the register was never opened. UI thread.
    std::string recordVisit(unitreg::Visit visit);
    std::string recordBattery(unitreg::BatteryReading reading);
    std::string recordClockSet(unitreg::ClockSet set);
    // A download without a serial number goes under "no serial number"; the next unit that
    // names itself on the same port is linked to it by an identification of its own.
    std::string recordDownload(unitreg::Download download);
    std::string recordClear(unitreg::Clear clear);
    // A download an earlier program called safe, judged again on its kept copy: no longer
    // safe (a fact, written as the events are), or still safe (it leaves the list of
    // downloads to judge again).
    std::string recordJudgedAgain(unitreg::JudgedAgain judged);
    void judgedAgainStillSafe(std::string downloadId);
    // A unit named itself on `port` (a serial-number read): links the last download of a
    // unit without a serial number made there, if any.
    void unitIdentified(const std::string& serial, int port);

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

    // Waits until every job handed in so far has run and every event is written, or held for
    // the journal when the register cannot be used for a lasting reason (tests, the
    // benchmark, the end).
    bool waitIdle(std::chrono::milliseconds deadline);

    RegisterSignals* signalsObject() const { return m_signals; }

private:
    using Clock = std::chrono::steady_clock;
    void post(std::function<void(unitreg::UnitRegister&)> job);
    std::string record(unitreg::Event event);
    // Any thread: `call` runs on the UI thread, after every call handed over before it.
    void toUiThread(std::function<void()> call);
    void run(std::string path);
    // Register thread, m_mutex held: the steps of run().
    bool openAgain(unitreg::UnitRegister& reg, const std::string& path,
                   std::unique_lock<std::mutex>& lock);
    bool replay(unitreg::UnitRegister& reg, const std::string& path,
                std::unique_lock<std::mutex>& lock);
    void writeEvents(unitreg::UnitRegister& reg, std::unique_lock<std::mutex>& lock);
    // A passing trouble waits for a retry; confirmed damage closes the register, so that the
    // next open moves the file aside; damage not confirmed counts as an I/O error.
    void meetTrouble(unitreg::UnitRegister& reg, unitreg::Failure failure, const std::string& why);
    void markUnusable();
    void waitForRetry(unitreg::Failure failure, const std::string& why);
    void troubleOver();
    // UI thread.
    void showStatus(const QString& text);
    void addWarning(const std::string& text);

    std::thread m_thread;
    std::mutex m_mutex; // guards everything down to m_outcome
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void(unitreg::UnitRegister&)>> m_jobs;
    std::deque<unitreg::Event> m_events;      // handed in, not yet written, oldest first
    std::vector<unitreg::Event> m_unwritable; // refused by the register itself: kept for later
    bool m_busy = false;                      // a job or a write is running
    bool m_stop = false;
    bool m_opened = false;   // the first open has run
    bool m_waiting = false;  // the register is in trouble: events wait until m_retryAt
    bool m_unusable = false; // cannot be opened for a lasting reason: events wait for the journal
    bool m_replayDue = true; // the journal is still to be written in (set before the thread)
    unitreg::OpenOutcome m_outcome;
    // Register thread only.
    Clock::time_point m_retryAt{};
    std::chrono::milliseconds m_pause{0};
    bool m_refusalLogged = false;
    // UI thread only.
    bool m_available = false;
    std::string m_why;
    std::string m_path;
    QString m_status;
    std::vector<std::string> m_warnings;
    struct Unidentified {
        std::string downloadId;
        int port = -1;
    };
    std::optional<Unidentified> m_unidentified;
    RegisterSignals* m_signals = nullptr;
    std::unique_ptr<platform::UiHandover> m_toUi; // made on the UI thread with the writer
};

// The program's register, opened when the main window is first shown.
RegisterWriter& unitRegister();
