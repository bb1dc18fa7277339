// SPDX-License-Identifier: GPL-3.0-or-later
#include "unit/instrument_commands.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace {

constexpr std::uint32_t kReplyDelay = 2000;
constexpr std::uint32_t kSerialDelay = 8000;
constexpr std::uint32_t kReadyDelay = 10000;
constexpr std::int32_t kSerialLength = 8;
constexpr std::int32_t kBatteryReplyLength = 8000;
constexpr const char* kClearUnconfirmed =
    "The XRQ unit did not confirm the clearing of its memory.\n"
    "Its memory may or may not have been cleared.";

// The time now (UTC ms), as the unattended clear reports its window.
std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The unit always sends '.', whatever locale the operator runs under.
locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return loc;
}

std::optional<double> readNumber(const char* text) {
    char* end = nullptr;
    double v = strtod_l(text, &end, cLocale());
    if (end == text || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// Restores the default cursor on every way out, an exception from the port included.
class Hourglass {
public:
    explicit Hourglass(CommandView& view) : m_view(view) { m_view.setHourglass(true); }
    ~Hourglass() { release(); }
    void release() {
        if (m_on) {
            m_on = false;
            m_view.setHourglass(false);
        }
    }

private:
    CommandView& m_view;
    bool m_on = true;
};

} // namespace

std::optional<BatteryReading> parseBatteryReply(const char* reply) {
    if (!reply)
        return std::nullopt;
    return parseBatteryReply(std::string_view(reply));
}

std::optional<BatteryReading> parseBatteryReply(std::string_view reply) {
    // Line noise may hold any byte, NUL included: the reply is searched as bytes, not as a
    // C string that would end at the first NUL.
    auto numberAfter = [&](std::size_t colon) {
        return readNumber(std::string(reply.substr(colon + 1, 64)).c_str());
    };
    const std::size_t first = reply.find(':');
    if (first == std::string_view::npos)
        return std::nullopt;
    auto volts = numberAfter(first);
    if (!volts)
        return std::nullopt;
    const std::size_t second = reply.find(':', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    auto celsius = numberAfter(second);
    if (!celsius)
        return std::nullopt;
    return BatteryReading{*volts, *celsius};
}

InstrumentCommands::InstrumentCommands(UnitSession& session, CommandView& view)
    : clockText(currentClockText), m_session(session), m_view(view) {}

bool InstrumentCommands::refuseWhileBusy() {
    if (!m_session.exchangeRunning())
        return false;
    m_view.tellExchangeRunning();
    return true;
}

void InstrumentCommands::connect() {
    if (refuseWhileBusy())
        return;
    if (!m_session.sessionOpen() && m_session.openPort() != 0)
        return;
    if (requestSerialNumber()) {
        Hourglass hourglass(m_view);
        if (m_session.waitForChar("!", '>', 0, kReadyDelay) == 1) {
            if (units && !m_serial.empty()) {
                units->connected({m_serial, m_session.portNumber(), m_session.deviceName()});
                m_view.unitChanged();
                if (recorder)
                    recorder->visited(m_serial, m_session.portNumber(), m_session.deviceName());
            }
            m_view.enableUnitActions();
            hourglass.release();
            m_view.info("Connected to XRQ unit!");
            return;
        }
        m_view.error("Cannot detect XRQ unit");
        return;
    }
    m_view.error("Cannot detect XRQ unit");
    m_view.setHourglass(false);
}

bool InstrumentCommands::requestSerialNumber() {
    Hourglass hourglass(m_view);
    char serial[kSerialLength + 1] = {};
    if (m_session.waitForStringNBetweenChars("R", '#', '>', kSerialDelay, serial, kSerialLength) !=
        0) {
        m_lastReadFailed = true;
        m_view.error("Improper response to serial number request.");
        return false;
    }
    m_lastReadFailed = false;
    m_serial.assign(serial, kSerialLength);
    m_view.setSerialNumber(m_serial);
    if (recorder)
        recorder->identified(m_serial, m_session.portNumber());
    return true;
}

std::optional<std::string> InstrumentCommands::identifyUnit() {
    Hourglass hourglass(m_view);
    char serial[kSerialLength + 1] = {};
    if (m_session.waitForStringNBetweenChars("R", '#', '>', kSerialDelay, serial, kSerialLength) !=
        0) {
        m_view.log("The XRQ unit did not give its serial number: it is not known which unit is "
                   "on the cable");
        m_lastReadFailed = true;
        return std::nullopt;
    }
    m_lastReadFailed = false;
    m_serial.assign(serial, kSerialLength);
    m_view.setSerialNumber(m_serial);
    if (recorder)
        recorder->identified(m_serial, m_session.portNumber());
    if (units) {
        const unit_status::Unit now{m_serial, m_session.portNumber(), m_session.deviceName()};
        const auto& known = units->current();
        if (!known || known->serial != now.serial || known->port != now.port) {
            if (known && known->port == now.port)
                m_view.log("Another XRQ unit is on the cable: " +
                           unit_status::printableSerial(known->serial) + " was connected, " +
                           unit_status::printableSerial(now.serial) + " answers now");
            units->identified(now);
            m_view.unitChanged();
        }
    }
    return m_serial;
}

void InstrumentCommands::setClock() {
    if (refuseWhileBusy())
        return;
    if (!m_view.confirm("Set XRQ clock to computer?", true))
        return;
    if (m_session.waitForChar("S", '>', 0, kReplyDelay) != 1) {
        m_view.error("Bad reponse from XRQ Unit");
        return;
    }
    const std::string clock = clockText();
    m_session.sendString(clock);
    if (recorder)
        recorder->clockSet(currentSerial(), clock);
    m_view.info("Clock on XRQ set to " + clock);
}

void InstrumentCommands::checkBattery() {
    if (refuseWhileBusy())
        return;
    std::string reply(kBatteryReplyLength + 1, '\0');
    const int result = m_session.waitForStringNUntilTermination("A", '>', kReplyDelay, reply.data(),
                                                                kBatteryReplyLength);
    // The buffer came zero-filled: past the stored bytes there is nothing to find.
    const auto reading = result == 0 ? parseBatteryReply(std::string_view(reply)) : std::nullopt;
    if (!reading) {
        m_view.error("Bad response from XRQ unit");
        return;
    }
    m_view.batteryRead(*reading);
    m_view.setBatteryCaptions(formatOneDecimal(reading->volts) + " V",
                              formatOneDecimal(reading->celsius) + " C");
    if (recorder)
        recorder->batteryRead(currentSerial(), reading->volts, reading->celsius,
                              reply.substr(0, reply.find_last_not_of('\0') + 1));
}

std::string InstrumentCommands::currentSerial() const {
    if (m_lastReadFailed)
        return {};
    return units && units->current() ? units->current()->serial : std::string();
}

bool InstrumentCommands::clearingAgreed() {
    if (!units)
        return true;
    // A session moved to another port is closed: the unit there must answer to be named,
    // and would have to for its memory to be cleared anyway.
    if (!m_session.sessionOpen() && m_session.openPort() != 0)
        return false;
    const bool named = identifyUnit().has_value();
    auto question = unit_status::clearMemoryQuestion(*units, m_session.portNumber(),
                                                     m_session.deviceName(), named);
    if (question && named && units->current())
        addOtherLaptopsNote(*question, units->current()->serial);
    if (!question || m_view.confirm(*question, false))
        return true;
    m_view.info("Memory not cleared");
    return false;
}

void InstrumentCommands::addOtherLaptopsNote(std::string& question, const std::string& serial) {
    const std::string note = m_view.otherLaptopsNote(serial);
    if (note.empty())
        return;
    // Before the question's last line ("Clear its memory anyway?").
    const std::size_t last = question.rfind('\n');
    if (last == std::string::npos)
        question = note + "\n" + question;
    else
        question.insert(last, "\n" + note);
}

InstrumentCommands::UnattendedClear
InstrumentCommands::clearAfterDownload(const std::string& downloaded) {
    UnattendedClear out;
    out.startedMs = nowMs();
    if (m_session.exchangeRunning()) {
        out.why = "another exchange with the unit is running";
        return out;
    }
    const std::optional<std::string> now = identifyUnit();
    if (!now || now->empty() || *now != downloaded) {
        out.why = now && !now->empty()
                      ? "the unit on the cable (" + unit_status::printableSerial(*now) +
                            ") is not the one downloaded (" +
                            unit_status::printableSerial(downloaded) + ")"
                      : "the unit gave no serial number just before the clear";
        return out;
    }
    if (m_session.waitForChar("*", '~', 0, kReplyDelay) != 1 ||
        m_session.waitForChar("C", '?', 0, kReplyDelay) != 1) {
        out.why = "the unit did not answer the clear's first steps (nothing was cleared)";
        return out;
    }
    out.sent = true;
    out.cleared = m_session.waitForChar("Y", '>', 0, kReplyDelay) == 1;
    out.endedMs = nowMs();
    if (recorder)
        recorder->cleared(downloaded, out.cleared);
    if (!out.cleared)
        out.why = kClearUnconfirmed;
    return out;
}

void InstrumentCommands::clearMemory() {
    if (refuseWhileBusy())
        return;
    if (!clearingAgreed())
        return;
    if (m_view.confirm("This action is irreversible. Make sure you have saved all your data!\n"
                       "Continue?",
                       false) &&
        !m_view.confirm("Abort clearing memory?", true)) {
        if (m_session.waitForChar("*", '~', 0, kReplyDelay) == 1 &&
            m_session.waitForChar("C", '?', 0, kReplyDelay) == 1) {
            // Once "Y" has gone out the unit may have cleared its memory whether or not its
            // answer arrives: without the answer neither outcome can be claimed.
            const bool confirmed = m_session.waitForChar("Y", '>', 0, kReplyDelay) == 1;
            if (recorder)
                recorder->cleared(currentSerial(), confirmed);
            if (confirmed)
                m_view.info("XRQ Memory cleared");
            else
                m_view.warning(kClearUnconfirmed);
            return;
        }
        m_view.error("Invalid response from XRQ unit");
    }
    m_view.info("Memory not cleared");
}
