// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/register_writer.h"
#include "dialogs/source_lines.h"

#include "dialogs/run_log.h"

#include <algorithm>

namespace {

// What the operator and the collector's warnings are told while events wait.
std::string waitingText(unitreg::Failure failure, const std::string& why) {
    switch (failure) {
    case unitreg::Failure::Busy:
        return "The unit register is held by another program (" + why +
               "): events wait and are written when it lets go.";
    case unitreg::Failure::Full:
        return "The disk that holds the unit register is full (" + why +
               "): events wait and are written when there is room.";
    default:
        return "The unit register cannot be written just now (" + why +
               "): events wait and are tried again.";
    }
}

} // namespace

RegisterWriter::RegisterWriter()
    : m_signals(new RegisterSignals), m_toUi(std::make_unique<platform::UiHandover>()) {}

RegisterWriter::~RegisterWriter() {
    close();
}

RegisterWriter& unitRegister() {
    static RegisterWriter writer;
    return writer;
}

unitreg::OpenOutcome RegisterWriter::open(const std::string& path, std::chrono::milliseconds wait) {
    close();
    // What an earlier run still had on its way to the UI thread is told now, before this
    // run's state is set.
    m_toUi->drain();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_opened = false;
        m_waiting = false;
        m_unusable = false;
        m_jobs.clear();
        m_events.clear();
        m_unwritable.clear();
        m_outcome = {};
    }
    m_refusalLogged = false;
    m_replayDue = true;
    m_path = path;
    m_available = true; // until the open says otherwise
    m_why.clear();
    m_status.clear();
    m_warnings.clear();
    m_unidentified.reset();
    m_thread = std::thread([this, path] { run(path); });

    std::unique_lock<std::mutex> lock(m_mutex);
    unitreg::OpenOutcome outcome;
    if (m_idle.wait_for(lock, wait, [this] { return m_opened; })) {
        outcome = m_outcome;
    } else {
        // A very slow folder: the outcome is told when it comes.
        outcome.state = unitreg::OpenOutcome::State::Open;
        return outcome;
    }
    lock.unlock();
    m_available = outcome.state != unitreg::OpenOutcome::State::Unavailable || outcome.retryable;
    if (!m_available)
        m_why = outcome.message;
    return outcome;
}

void RegisterWriter::run(std::string path) {
    // Register thread: the connection belongs to this thread alone (Qt SQL's rule).
    unitreg::UnitRegister reg;
    const unitreg::OpenOutcome outcome = reg.open(path, busyMs);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outcome = outcome;
        m_opened = true;
    }
    m_idle.notify_all();
    if (outcome.state != unitreg::OpenOutcome::State::Open && !outcome.retryable) {
        toUiThread([this, outcome] {
            m_available = outcome.state != unitreg::OpenOutcome::State::Unavailable;
            if (!m_available)
                m_why = outcome.message;
            LogWrite(outcome.message, source_line::registerOpened, LogSizeLimit);
            emit m_signals->troubled(QString::fromLocal8Bit(outcome.message.c_str()));
        });
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (outcome.state == unitreg::OpenOutcome::State::Unavailable) {
        if (outcome.retryable)
            waitForRetry(reg.lastFailure(), reg.lastError());
        else
            markUnusable(); // what is handed in waits for the journal at the end
    }
    for (;;) {
        if (m_waiting)
            m_wake.wait_until(lock, m_retryAt, [this] {
                return m_stop || !m_jobs.empty() || Clock::now() >= m_retryAt;
            });
        else
            m_wake.wait(lock, [this] {
                return m_stop || !m_jobs.empty() || !m_events.empty() || m_replayDue;
            });
        if (m_stop)
            break; // what is left goes to the journal (close())
        // Events first, so that a query sees every event handed in before it; while the
        // register is in trouble, queries are answered from what it holds.
        if (!m_waiting || Clock::now() >= m_retryAt) {
            const bool ready = (reg.isOpen() || openAgain(reg, path, lock)) &&
                               (!m_replayDue || replay(reg, path, lock));
            if (ready)
                writeEvents(reg, lock);
        }
        while (!m_jobs.empty()) {
            auto job = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_busy = true;
            lock.unlock();
            job(reg);
            lock.lock();
            m_busy = false;
        }
        if (m_jobs.empty() && m_events.empty())
            m_idle.notify_all();
    }
}

bool RegisterWriter::openAgain(unitreg::UnitRegister& reg, const std::string& path,
                               std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const unitreg::OpenOutcome outcome = reg.open(path, busyMs);
    lock.lock();
    if (outcome.state == unitreg::OpenOutcome::State::Unavailable) {
        if (outcome.retryable) {
            waitForRetry(reg.lastFailure(), reg.lastError());
        } else {
            markUnusable();
            toUiThread([this, outcome] {
                LogWrite(outcome.message, source_line::registerOpened, LogSizeLimit);
                emit m_signals->troubled(QString::fromLocal8Bit(outcome.message.c_str()));
            });
        }
        return false;
    }
    m_unusable = false;
    if (outcome.state == unitreg::OpenOutcome::State::OpenAfterMovingAside)
        toUiThread([this, outcome] {
            LogWrite(outcome.message, source_line::registerOpened, LogSizeLimit);
            addWarning(outcome.message);
            emit m_signals->troubled(QString::fromLocal8Bit(outcome.message.c_str()));
        });
    m_replayDue = true;
    return true;
}

bool RegisterWriter::replay(unitreg::UnitRegister& reg, const std::string& path,
                            std::unique_lock<std::mutex>& lock) {
    m_busy = true;
    lock.unlock();
    const unitreg::ReplayOutcome r =
        unitreg::replayJournal(unitreg::journalPath(path), [&reg](const auto& events) {
            return reg.bulk([&] {
                return std::all_of(events.begin(), events.end(), [&](const unitreg::Event& e) {
                    return unitreg::recordEvent(reg, e);
                });
            });
        });
    const unitreg::Failure failure = reg.lastFailure();
    const std::string why = reg.lastError();
    lock.lock();
    m_busy = false;
    if (r.replayed || !r.found) {
        m_replayDue = false;
        if (r.replayed) {
            const std::string text =
                "Unit register: " + std::to_string(r.events) +
                " events kept from an earlier run written in" +
                (r.unreadable ? ", " + std::to_string(r.unreadable) + " unreadable lines left out"
                              : std::string());
            toUiThread(
                [text] { LogWrite(text, source_line::registerJournalReplayed, LogSizeLimit); });
        }
        return true;
    }
    if (isPassing(failure) || failure == unitreg::Failure::Damage) {
        meetTrouble(reg, failure, why);
        return false;
    }
    // The journal itself cannot be read, or the register refuses one of its events: it stays
    // for a later start, and this run's events go on being written.
    m_replayDue = false;
    const std::string text = "Unit register: the events kept from an earlier run cannot be "
                             "written in now (" +
                             (r.why.empty() ? why : r.why) + "); they stay in " +
                             unitreg::journalPath(path);
    toUiThread([this, text] {
        LogWrite(text, source_line::registerJournalFailed, LogSizeLimit);
        addWarning(text);
    });
    return true;
}

void RegisterWriter::writeEvents(unitreg::UnitRegister& reg, std::unique_lock<std::mutex>& lock) {
    while (!m_events.empty() && !m_stop) {
        const unitreg::Event event = m_events.front();
        m_busy = true;
        lock.unlock();
        const bool written = unitreg::recordEvent(reg, event);
        const unitreg::Failure failure = reg.lastFailure();
        const std::string why = reg.lastError();
        lock.lock();
        m_busy = false;
        if (written) {
            m_events.pop_front();
            troubleOver();
            const std::string& serial = unitreg::eventSerial(event);
            const QByteArray unit(serial.data(), static_cast<qsizetype>(serial.size()));
            toUiThread([this, unit] { emit m_signals->recorded(unit); });
            continue;
        }
        if (isPassing(failure) || failure == unitreg::Failure::Damage) {
            meetTrouble(reg, failure, why);
            return;
        }
        // Refused for a reason of its own, not the disk's: kept for the journal, and the
        // events behind it go on.
        m_unwritable.push_back(event);
        m_events.pop_front();
        if (!m_refusalLogged) {
            m_refusalLogged = true;
            toUiThread([why] {
                LogWrite("Unit register: an event could not be recorded (" + why +
                             "); it is kept for the journal, later refusals are not logged",
                         source_line::registerEventRefused, LogSizeLimit);
            });
        }
    }
    // Open, replayed and nothing left to write: whatever was waited for is over.
    if (m_events.empty())
        troubleOver();
}

void RegisterWriter::meetTrouble(unitreg::UnitRegister& reg, unitreg::Failure failure,
                                 const std::string& why) {
    if (failure == unitreg::Failure::Damage && reg.damageConfirmed()) {
        // Opened again at once: the open moves the damaged file aside and starts a new one.
        reg.close();
        return;
    }
    waitForRetry(failure == unitreg::Failure::Damage ? unitreg::Failure::Io : failure, why);
}

// Under m_mutex: the register cannot be used for a lasting reason; nothing is retried soon.
void RegisterWriter::markUnusable() {
    m_waiting = true;
    m_unusable = true;
    m_retryAt = Clock::now() + std::chrono::hours(24);
}

void RegisterWriter::waitForRetry(unitreg::Failure failure, const std::string& why) {
    m_pause = m_waiting ? std::min(m_pause * 2, retryLongest) : retryFirst;
    m_waiting = true;
    m_retryAt = Clock::now() + m_pause;
    const QString text = QString::fromLocal8Bit(waitingText(failure, why).c_str());
    toUiThread([this, text] {
        if (text == m_status)
            return;
        LogWrite(text.toLocal8Bit().toStdString(), source_line::registerWaiting, LogSizeLimit);
        addWarning(text.toLocal8Bit().toStdString());
        showStatus(text);
    });
}

void RegisterWriter::troubleOver() {
    if (!m_waiting)
        return;
    m_waiting = false;
    m_pause = std::chrono::milliseconds(0);
    toUiThread([this] {
        LogWrite("Unit register: the events that waited are written",
                 source_line::registerWritingAgain, LogSizeLimit);
        showStatus({});
    });
}

void RegisterWriter::showStatus(const QString& text) {
    if (text == m_status)
        return;
    m_status = text;
    emit m_signals->statusChanged(text);
}

void RegisterWriter::addWarning(const std::string& text) {
    if (std::find(m_warnings.begin(), m_warnings.end(), text) == m_warnings.end())
        m_warnings.push_back(text);
}

void RegisterWriter::close(std::chrono::milliseconds deadline) {
    if (!m_thread.joinable())
        return;
    bool waiting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        waiting = m_waiting;
    }
    // A register in trouble is not waited for: its events go to the journal at once.
    if (!waiting)
        waitIdle(deadline);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    std::vector<unitreg::Event> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        left = std::move(m_unwritable);
        left.insert(left.end(), m_events.begin(), m_events.end());
        m_unwritable.clear();
        m_events.clear();
    }
    m_available = false;
    if (left.empty())
        return;
    const std::string journal = unitreg::journalPath(m_path);
    std::string text;
    const auto kept = unitreg::appendToJournal(journal, left);
    if (kept) {
        text = std::to_string(left.size()) + " events not yet in the unit register are kept in " +
               journal + " and written in at the next start";
        LogWrite("Unit register: " + text, source_line::registerEventsJournaled, LogSizeLimit);
    } else {
        text = std::to_string(left.size()) +
               " events could not be written to the unit register nor kept in " + journal + " (" +
               kept.text() + ")";
        LogWrite("Unit register: " + text, source_line::registerJournalFailed, LogSizeLimit);
    }
    addWarning(text);
}

bool RegisterWriter::waitIdle(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        return true;
    return m_idle.wait_for(lock, deadline, [this] {
        return m_opened && m_jobs.empty() && !m_busy &&
               (m_unusable || (m_events.empty() && !m_replayDue));
    });
}

void RegisterWriter::post(std::function<void(unitreg::UnitRegister&)> job) {
    if (!m_thread.joinable()) {
        // No register: queries answer as a closed one does.
        unitreg::UnitRegister closed;
        job(closed);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void RegisterWriter::toUiThread(std::function<void()> call) {
    m_toUi->post(std::move(call));
}

std::string RegisterWriter::record(unitreg::Event event) {
    if (!m_thread.joinable())
        return {};
    std::visit(
        [](auto& e) {
            if (e.id.empty())
                e.id = unitreg::newEventId();
        },
        event);
    std::string id = unitreg::eventId(event);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    m_wake.notify_one();
    return id;
}

std::string RegisterWriter::recordVisit(unitreg::Visit visit) {
    return record(std::move(visit));
}

std::string RegisterWriter::recordBattery(unitreg::BatteryReading reading) {
    return record(std::move(reading));
}

std::string RegisterWriter::recordClockSet(unitreg::ClockSet set) {
    return record(std::move(set));
}

std::string RegisterWriter::recordDownload(unitreg::Download download) {
    const bool unnamed = download.serial.empty();
    const int port = download.port;
    std::string id = record(std::move(download));
    if (unnamed && port > 0 && !id.empty())
        m_unidentified = Unidentified{id, port};
    return id;
}

std::string RegisterWriter::recordClear(unitreg::Clear clear) {
    return record(std::move(clear));
}

std::string RegisterWriter::recordJudgedAgain(unitreg::JudgedAgain judged) {
    return record(std::move(judged));
}

void RegisterWriter::judgedAgainStillSafe(std::string downloadId) {
    // Only the list of downloads still to judge changes: one that cannot be taken off now is
    // judged again at the next start.
    post([downloadId = std::move(downloadId)](unitreg::UnitRegister& reg) {
        if (reg.isOpen())
            reg.judgedAgainStillSafe(downloadId);
    });
}

void RegisterWriter::unitIdentified(const std::string& serial, int port) {
    if (serial.empty() || !m_unidentified || m_unidentified->port != port)
        return;
    unitreg::Identification link;
    link.id = unitreg::newEventId();
    link.downloadId = m_unidentified->downloadId;
    link.serial = serial;
    link.at = unitreg::nowMs();
    m_unidentified.reset();
    record(std::move(link));
}
