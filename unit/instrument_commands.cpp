// SPDX-License-Identifier: GPL-3.0-or-later
#include "unit/instrument_commands.h"

#include "register/register_writer.h"

#include <QDateTime>
#include <QTimeZone>

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

std::string formatOneDecimal(double value) {
    if (!std::isfinite(value))
        return std::isnan(value) ? "NAN" : (value < 0 ? "-INF" : "INF");
    // Fifteen significant digits first, then the decimal rounding on those digits, so that
    // 12.25 and 0.15 round up as the operator reads them rather than as binary holds them.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    const bool negative = buf[0] == '-';
    const char* p = buf + (negative ? 1 : 0);
    std::string digits;
    digits += p[0];
    digits.append(p + 2, 14);
    const int exponent = std::atoi(std::strchr(p, 'e') + 1);
    int point = exponent + 1; // digits before the decimal point
    if (point < 1) {
        digits.insert(0, static_cast<std::size_t>(1 - point), '0');
        point = 1;
    }
    if (static_cast<int>(digits.size()) < point + 2)
        digits.append(static_cast<std::size_t>(point + 2) - digits.size(), '0');
    std::string kept = digits.substr(0, static_cast<std::size_t>(point) + 1);
    if (digits[static_cast<std::size_t>(point) + 1] >= '5') {
        int i = static_cast<int>(kept.size()) - 1;
        while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') {
            kept[static_cast<std::size_t>(i)] = '0';
            --i;
        }
        if (i < 0)
            kept.insert(0, 1, '1');
        else
            ++kept[static_cast<std::size_t>(i)];
    }
    std::string integer = kept.substr(0, kept.size() - 1);
    const std::size_t nz = integer.find_first_not_of('0');
    integer = nz == std::string::npos ? "0" : integer.substr(nz);
    std::string out = integer + "." + kept.back();
    // A value that rounds to zero shows as 0.0, without a sign.
    if (negative && out != "0.0")
        out.insert(0, 1, '-');
    return out;
}

std::string formatClockText(const std::tm& local) {
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%y-%m-%d %H:%M:%S", &local);
    return std::string(buf, n);
}

std::string currentClockText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return formatClockText(local);
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
                unitRegister().recordVisit(
                    {m_serial, unitreg::nowMs(), m_session.portNumber(), m_session.deviceName()});
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
        m_view.error("Improper response to serial number request.");
        return false;
    }
    m_serial.assign(serial, kSerialLength);
    m_view.setSerialNumber(m_serial);
    return true;
}

std::optional<std::string> InstrumentCommands::identifyUnit() {
    Hourglass hourglass(m_view);
    char serial[kSerialLength + 1] = {};
    if (m_session.waitForStringNBetweenChars("R", '#', '>', kSerialDelay, serial, kSerialLength) !=
        0) {
        m_view.log("The XRQ unit did not give its serial number: it is not known which unit is "
                   "on the cable");
        return std::nullopt;
    }
    m_serial.assign(serial, kSerialLength);
    m_view.setSerialNumber(m_serial);
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
    const QDateTime local = QDateTime::currentDateTime();
    const std::string clock = clockText();
    m_session.sendString(clock);
    unitRegister().recordClockSet({currentSerial(), unitreg::nowMs(), clock, local.offsetFromUtc(),
                                   QTimeZone::systemTimeZoneId().toStdString()});
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
    unitRegister().recordBattery({currentSerial(), unitreg::nowMs(), reading->volts,
                                  reading->celsius,
                                  reply.substr(0, reply.find_last_not_of('\0') + 1)});
}

std::string InstrumentCommands::currentSerial() const {
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
    const auto question = unit_status::clearMemoryQuestion(*units, m_session.portNumber(),
                                                           m_session.deviceName(), named);
    if (!question || m_view.confirm(*question, false))
        return true;
    m_view.info("Memory not cleared");
    return false;
}

InstrumentCommands::UnattendedClear
InstrumentCommands::clearAfterDownload(const std::string& downloaded) {
    UnattendedClear out;
    out.startedMs = unitreg::nowMs();
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
    out.endedMs = unitreg::nowMs();
    unitRegister().recordClear({downloaded, out.endedMs, out.cleared});
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
            unitRegister().recordClear({currentSerial(), unitreg::nowMs(), confirmed});
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
