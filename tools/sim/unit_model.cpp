// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sim/unit_model.h"

#include <algorithm>
#include <charconv>
#include <ctime>

namespace sim {

namespace {

constexpr std::size_t kClockTextLength = 17;
constexpr auto kClockTextGap = std::chrono::seconds(5);

// Noise never holds a character that a reply is scanned for ('>', '#', '~', '?', ':'),
// nor one that starts a line kind of the download ('N', 'F', '*'), nor a line end.
// Control and 8-bit bytes too, NUL among them: a noisy line brings any byte value. Line ends
// stay out, so that the noise does not make lines of its own.
constexpr char kNoiseBytes[] = "abcdefghijklmnopqrstuvwxyz0123456789.-+ \0\x01\x1b\x7f\x80\xfe\xff";
constexpr std::string_view kNoiseAlphabet(kNoiseBytes, sizeof kNoiseBytes - 1);

std::string number(double v, int decimals) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

bool fitsClockLayout(std::size_t pos, char c) {
    // yy-mm-dd HH:MM:SS
    static constexpr std::string_view layout = "00-00-00 00:00:00";
    char want = layout[pos];
    if (want == '0')
        return c >= '0' && c <= '9';
    return c == want;
}

class TextSource : public ByteSource {
public:
    explicit TextSource(std::string text) : m_text(std::move(text)) {}
    std::string read(std::size_t max) override {
        std::string out = m_text.substr(m_pos, max);
        m_pos += out.size();
        return out;
    }

private:
    std::string m_text;
    std::size_t m_pos = 0;
};

// Makes the download a line at a time from a snapshot of the memory, so a clear during a
// running download cannot pull the records away under it.
class DownloadSource : public ByteSource {
public:
    DownloadSource(std::shared_ptr<const std::vector<DataSet>> sets, std::string head,
                   const FaultOptions& faults, bool changeDigit)
        : m_sets(std::move(sets)), m_pending(std::move(head)), m_faults(faults),
          m_changeDigit(changeDigit) {
        if (m_sets->empty())
            m_pending += "No data\r\n";
    }

    std::string read(std::size_t max) override {
        while (m_pending.size() - m_pos < max && refill()) {
        }
        std::string out = m_pending.substr(m_pos, max);
        m_pos += out.size();
        if (m_pos > 65536) {
            m_pending.erase(0, m_pos);
            m_pos = 0;
        }
        return out;
    }

private:
    bool refill() {
        if (m_done)
            return false;
        const auto& sets = *m_sets;
        if (m_set >= sets.size()) {
            m_pending += ">";
            m_done = true;
            return true;
        }
        const DataSet& set = sets[m_set];
        if (m_record == 0 && !m_headerSent) {
            const bool damaged = m_set == 0 && m_faults.damagedFirstHeader;
            m_pending += std::string(damaged ? "ame: " : "Name: ") + set.name + "\r\n";
            m_headerSent = true;
        } else if (m_record < set.records.size()) {
            std::string record = set.records[m_record++];
            if (m_record == 1 && m_faults.controlBytesInData)
                record.insert(record.size() / 2, std::string("\0\xff\x01\x1b", 4));
            if (m_record == 1 && m_set == 0 && m_changeDigit) {
                const auto digit = record.find_last_of("0123456789");
                if (digit != std::string::npos)
                    record[digit] = record[digit] == '9' ? '0' : char(record[digit] + 1);
            }
            m_pending += record + "\r\n";
        } else {
            m_pending += "\r\n";
            if (m_set == 0 && m_faults.noLineAfterFirstSet)
                m_pending += "Nov 03 12:00:00 logging resumed\r\n";
            ++m_set;
            m_record = 0;
            m_headerSent = false;
        }
        return true;
    }

    std::shared_ptr<const std::vector<DataSet>> m_sets;
    std::string m_pending;
    FaultOptions m_faults;
    bool m_changeDigit = false;
    std::size_t m_pos = 0;
    std::size_t m_set = 0;
    std::size_t m_record = 0;
    bool m_headerSent = false;
    bool m_done = false;
};

} // namespace

std::string formatClockText(std::chrono::system_clock::time_point t) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::optional<std::chrono::system_clock::time_point> parseClockText(const std::string& text) {
    if (text.size() != kClockTextLength)
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!fitsClockLayout(i, text[i]))
            return std::nullopt;
    }
    auto two = [&](std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
    std::tm tm{};
    tm.tm_year = 100 + two(0);
    tm.tm_mon = two(3) - 1;
    tm.tm_mday = two(6);
    tm.tm_hour = two(9);
    tm.tm_min = two(12);
    tm.tm_sec = two(15);
    tm.tm_isdst = -1;
    const std::tm asked = tm;
    std::time_t t = std::mktime(&tm);
    // mktime moves an impossible date (month 13, 31 February) on to a real one: refuse it.
    if (t == static_cast<std::time_t>(-1) || tm.tm_mon != asked.tm_mon ||
        tm.tm_mday != asked.tm_mday || asked.tm_hour > 23 || asked.tm_min > 59 || asked.tm_sec > 59)
        return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}

UnitModel::UnitModel(const SimOptions& options)
    : m_options(options), m_faults(options.faults), m_serial(options.serialNumber),
      m_memory(std::make_shared<const std::vector<DataSet>>(options.dataSets)),
      m_random(options.seed) {}

void UnitModel::setMemory(std::vector<DataSet> sets) {
    m_memory = std::make_shared<const std::vector<DataSet>>(std::move(sets));
    m_changed = true;
}

bool UnitModel::takeChanged() {
    bool changed = m_changed;
    m_changed = false;
    return changed;
}

std::string UnitModel::noise() {
    std::string out;
    std::uniform_int_distribution<std::size_t> pick(0, kNoiseAlphabet.size() - 1);
    for (std::size_t i = 0; i < m_faults.noiseBytes; ++i)
        out += kNoiseAlphabet[pick(m_random)];
    // A NUL always, where a reader that takes the reply as a C string would stop.
    if (!out.empty())
        out[0] = '\0';
    return out;
}

void UnitModel::finishClockText() {
    m_mode = Mode::Command;
    if (auto t = parseClockText(m_clockText)) {
        m_clockOffset = std::chrono::duration_cast<std::chrono::seconds>(
            *t - std::chrono::time_point_cast<std::chrono::seconds>(SystemClock::now()));
        m_lastClockText = m_clockText;
        ++m_clockSetCount;
        m_changed = true;
    }
    m_clockText.clear();
}

// The data set the logging clock writes to.
constexpr const char* kLogSet = "LOG";

void UnitModel::logUntil(SystemClock::time_point now) {
    const unsigned every = m_options.logEverySeconds;
    if (every == 0)
        return;
    const std::int64_t t =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    if (!m_loggedUntil) {
        m_loggedUntil = t - t % every; // the grid of the logging clock, from now on
        m_changed = true;
        return;
    }
    if (t < *m_loggedUntil + every)
        return;
    // A unit left for years logs no more than its memory would hold.
    constexpr std::int64_t kMostAtOnce = 1000000;
    const std::int64_t due = std::min<std::int64_t>((t - *m_loggedUntil) / every, kMostAtOnce);
    auto sets = *m_memory;
    auto it =
        std::find_if(sets.begin(), sets.end(), [](const DataSet& s) { return s.name == kLogSet; });
    if (it == sets.end()) {
        sets.push_back({kLogSet, {}});
        it = sets.end() - 1;
    }
    const std::int64_t first = t - t % every - (due - 1) * every;
    for (std::int64_t i = 0; i < due; ++i) {
        const auto at = SystemClock::time_point(std::chrono::seconds(first + i * every));
        it->records.push_back(formatClockText(at + m_clockOffset) + ", " +
                              std::to_string(m_options.batteryVolts).substr(0, 5));
    }
    m_loggedUntil = first + (due - 1) * every;
    setMemory(std::move(sets));
}

Reply UnitModel::receive(char byte, SteadyClock::time_point now) {
    logUntil(SystemClock::now());
    if (m_mode == Mode::ClockText) {
        if (now - m_lastClockByte > kClockTextGap) {
            m_mode = Mode::Command;
            m_clockText.clear();
        } else if (fitsClockLayout(m_clockText.size(), byte)) {
            m_clockText += byte;
            m_lastClockByte = now;
            if (m_clockText.size() == kClockTextLength)
                finishClockText();
            return {};
        } else {
            m_mode = Mode::Command;
            m_clockText.clear();
        }
    }
    if (byte == ' ' || byte == '\r' || byte == '\n')
        return {};
    if (m_faults.ignoredCommands.find(byte) != std::string::npos)
        return {};
    Reply reply = command(byte);
    if (byte == 'S') {
        m_mode = Mode::ClockText;
        m_lastClockByte = now;
    }
    if (!reply.empty())
        reply.text.insert(0, noise());
    return reply;
}

Reply UnitModel::command(char c) {
    int clearStep = m_clearStep;
    m_clearStep = 0;
    switch (c) {
    case 'R':
        return {"\r\nXRQ S/N #" + m_serial + ">", nullptr};
    case '!':
    case 'S':
        return {"\r\n>", nullptr};
    case 'A':
        if (m_faults.malformedBattery)
            return {"\r\nBat " + number(m_options.batteryVolts, 2) +
                        " V  Temp: " + number(m_options.temperatureC, 1) + " C\r\n>",
                    nullptr};
        return {"\r\nBat: " + number(m_options.batteryVolts, 2) +
                    " V  Temp: " + number(m_options.temperatureC, 1) + " C\r\n>",
                nullptr};
    case '*':
        m_clearStep = 1;
        return {"~", nullptr};
    case 'C':
        if (clearStep == 1) {
            m_clearStep = 2;
            return {"?", nullptr};
        }
        return {"\r\n>", nullptr};
    case 'Y':
        if (clearStep == 2) {
            setMemory({});
            ++m_clearCount;
            return {"\r\nMemory cleared\r\n>", nullptr};
        }
        return {"\r\n>", nullptr};
    case 'F': {
        if (m_options.rawDownload)
            return {"", std::make_shared<TextSource>(*m_options.rawDownload)};
        std::size_t records = 0;
        for (const DataSet& set : *m_memory)
            records += set.records.size();
        std::string head = "\r\n* XRQ data logger S/N " + m_serial + "\r\n* Clock " +
                           formatClockText(clock()) + ", " + std::to_string(m_memory->size()) +
                           " data sets, " + std::to_string(records) + " records\r\nFILE DUMP\r\n";
        const bool changeDigit = m_faults.changedDigitInOddDownloads && ++m_downloads % 2 == 1;
        return {"",
                std::make_shared<DownloadSource>(m_memory, std::move(head), m_faults, changeDigit)};
    }
    default:
        return {"\r\nUnknown command\r\n>", nullptr};
    }
}

} // namespace sim
