// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/register_writer.h"
#include "dialogs/source_lines.h"

#include "dialogs/run_log.h"

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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_opened = false;
        m_jobs.clear();
        m_outcome = {};
    }
    m_writeTroubleLogged = false;
    m_path = path;
    m_available = true; // until the open says otherwise
    m_why.clear();
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
    m_available = outcome.state != unitreg::OpenOutcome::State::Unavailable;
    if (!m_available)
        m_why = outcome.message;
    return outcome;
}

void RegisterWriter::run(std::string path) {
    // Register thread: the connection belongs to this thread alone (Qt SQL's rule).
    unitreg::UnitRegister reg;
    const unitreg::OpenOutcome outcome = reg.open(path);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outcome = outcome;
        m_opened = true;
    }
    m_idle.notify_all();
    if (outcome.state != unitreg::OpenOutcome::State::Open) {
        toUiThread([this, outcome] {
            m_available = outcome.state != unitreg::OpenOutcome::State::Unavailable;
            if (!m_available)
                m_why = outcome.message;
            LogWrite(outcome.message, source_line::registerOpened, LogSizeLimit);
            emit m_signals->troubled(QString::fromLocal8Bit(outcome.message.c_str()));
        });
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty())
            break; // stopped with nothing left
        auto job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        job(reg);
        lock.lock();
        m_busy = false;
        if (m_jobs.empty())
            m_idle.notify_all();
    }
}

void RegisterWriter::close(std::chrono::milliseconds deadline) {
    if (!m_thread.joinable())
        return;
    waitIdle(deadline);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        // What did not get written within the deadline is given up, not waited for.
        if (!m_jobs.empty())
            LogWrite("Unit register: " + std::to_string(m_jobs.size()) +
                         " events not written before the end",
                     source_line::registerEventsLeftAtEnd, LogSizeLimit);
        m_jobs.clear();
    }
    m_wake.notify_all();
    m_thread.join();
    m_available = false;
}

bool RegisterWriter::waitIdle(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_thread.joinable())
        return true;
    return m_idle.wait_for(lock, deadline,
                           [this] { return m_opened && m_jobs.empty() && !m_busy; });
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

void RegisterWriter::record(const std::string& serial,
                            std::function<bool(unitreg::UnitRegister&)> write) {
    if (!m_thread.joinable() || !m_available || serial.empty())
        return;
    post([this, serial, write = std::move(write)](unitreg::UnitRegister& reg) {
        // Register thread.
        if (!reg.isOpen())
            return;
        if (write(reg)) {
            const QByteArray unit(serial.data(), static_cast<qsizetype>(serial.size()));
            toUiThread([this, unit] { emit m_signals->recorded(unit); });
            return;
        }
        if (m_writeTroubleLogged)
            return;
        m_writeTroubleLogged = true;
        const std::string why = reg.lastError();
        toUiThread([why] {
            LogWrite("Unit register: an event could not be recorded (" + why +
                         "); later failures are not logged",
                     source_line::registerEventNotRecorded, LogSizeLimit);
        });
    });
}

void RegisterWriter::recordVisit(const unitreg::Visit& visit) {
    record(visit.serial, [visit](unitreg::UnitRegister& r) { return r.recordVisit(visit); });
}

void RegisterWriter::recordBattery(const unitreg::BatteryReading& reading) {
    record(reading.serial,
           [reading](unitreg::UnitRegister& r) { return r.recordBattery(reading); });
}

void RegisterWriter::recordClockSet(const unitreg::ClockSet& set) {
    record(set.serial, [set](unitreg::UnitRegister& r) { return r.recordClockSet(set); });
}

void RegisterWriter::recordDownload(const unitreg::Download& download) {
    record(download.serial,
           [download](unitreg::UnitRegister& r) { return r.recordDownload(download); });
}

void RegisterWriter::recordClear(const unitreg::Clear& clear) {
    record(clear.serial, [clear](unitreg::UnitRegister& r) { return r.recordClear(clear); });
}
