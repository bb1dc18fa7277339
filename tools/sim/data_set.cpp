// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sim/data_set.h"

#include <charconv>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {

const char* const kSample = R"(* Bundled sample memory of the simulated XRQ unit.
* Columns: date and time, battery volts, temperature C, water level m, conductivity uS/cm.
Name: RIVER-A
Date     Time    , Batt V, Temp C, Level m, Cond uS
26-05-11 08:00:00, 12.64, 11.82, 1.412, 412.5
26-05-11 08:15:00, 12.64, 11.97, 1.409, 413.1
26-05-11 08:30:00, 12.63, 12.21, 1.405, 413.0
26-05-11 08:45:00, 12.63, 12.48, 1.398, 414.2
26-05-11 09:00:00, 12.63, 12.80, 1.391, 415.8
26-05-11 09:15:00, 12.62, 13.15, 1.386, 416.4
26-05-11 09:30:00, 12.62, 13.42, 1.380, 417.9
26-05-11 09:45:00, 12.62, 13.70, 1.377, 418.3
26-05-11 10:00:00, 12.61, 13.96, 1.371, 419.0
26-05-11 10:15:00, 12.61, 14.12, 1.368, 419.6
26-05-11 10:30:00, 12.61, 14.31, 1.366, 420.2
26-05-11 10:45:00, 12.60, 14.47, 1.362, 420.7

Name: BRIDGE_2
Date     Time    , Batt V, Temp C, Level m, Cond uS
26-05-12 14:00:00, 12.58, 16.03, 2.205, 388.0
26-05-12 14:30:00, 12.58, 16.11, 2.214, 387.4
26-05-12 15:00:00, 12.57, 16.09, 2.230, 386.1
26-05-12 15:30:00, 12.57, 15.94, 2.251, 384.9
26-05-12 16:00:00, 12.57, 15.72, 2.268, 383.3
26-05-12 16:30:00, 12.56, 15.40, 2.280, 382.8
26-05-12 17:00:00, 12.56, 15.05, 2.287, 382.5

Name: WELL 7
Date     Time    , Batt V, Temp C, Level m, Cond uS
26-05-13 06:00:00, 12.55, 9.41, 17.832, 655.2
26-05-13 12:00:00, 12.55, 9.43, 17.829, 655.0
26-05-13 18:00:00, 12.54, 9.44, 17.835, 654.7
26-05-14 00:00:00, 12.54, 9.42, 17.840, 654.9
26-05-14 06:00:00, 12.53, 9.40, 17.838, 655.4
)";

std::string number(double v, int decimals) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

// A small generator of our own so that records are the same on every library version.
struct Lcg {
    std::uint64_t state;
    double next() { // 0 <= x < 1
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

} // namespace

std::vector<DataSet> parseDataText(std::string_view text) {
    std::vector<DataSet> sets;
    std::size_t lineNo = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '*')
            continue;
        auto fail = [&](const std::string& why) {
            throw std::runtime_error("line " + std::to_string(lineNo) + ": " + why);
        };
        if (line.substr(0, 5) == "Name:") {
            std::string_view name = line.substr(5);
            if (!name.empty() && name.front() == ' ')
                name.remove_prefix(1);
            sets.push_back({std::string(name), {}});
            continue;
        }
        if (line.front() == 'N')
            fail("a record may not begin with 'N' (only a \"Name: \" header does)");
        if (line.front() == 'F')
            fail("a record may not begin with 'F' (it would be read as a command line)");
        if (sets.empty())
            fail("record before the first \"Name: \" header");
        sets.back().records.emplace_back(line);
    }
    return sets;
}

std::vector<DataSet> loadDataFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    // A folder opens as a stream that reads as empty: it would pass for "No data".
    if (!in || std::filesystem::is_directory(path))
        throw std::runtime_error("cannot read data file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        throw std::runtime_error("cannot read data file " + path);
    try {
        return parseDataText(text.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("data file " + path + ", " + e.what());
    }
}

std::string formatDataText(const std::vector<DataSet>& sets) {
    std::string out;
    for (const DataSet& set : sets) {
        out += "Name: " + set.name + "\n";
        for (const std::string& r : set.records)
            out += r + "\n";
    }
    return out;
}

std::vector<DataSet> sampleDataSets() {
    return parseDataText(kSample);
}

std::vector<DataSet> generateDataSets(std::size_t count, std::size_t records,
                                      std::size_t recordLength, unsigned seed) {
    std::vector<DataSet> sets;
    sets.reserve(count);
    // Fixed start, formatted as UTC: the same records whatever the machine's time zone.
    const std::time_t start = 1780272000; // 2026-06-01 00:00:00 UTC
    for (std::size_t s = 0; s < count; ++s) {
        char name[32];
        std::snprintf(name, sizeof name, "SITE%02zu", s + 1);
        DataSet set{name, {}};
        set.records.reserve(records);
        Lcg rng{(static_cast<std::uint64_t>(seed) << 32) ^ (s * 0x9E3779B97F4A7C15ULL) ^ 0x5EED};
        double level = 1.0 + 2.0 * rng.next();
        for (std::size_t i = 0; i < records; ++i) {
            std::time_t t =
                start + static_cast<std::time_t>(s) * 86400 + static_cast<std::time_t>(i) * 600;
            std::tm tm{};
            gmtime_r(&t, &tm);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%y-%m-%d %H:%M:%S", &tm);
            level += (rng.next() - 0.5) * 0.01;
            std::string r = std::string(stamp) + ", " +
                            number(12.7 - 0.0001 * static_cast<double>(i), 2) + ", " +
                            number(8.0 + 10.0 * rng.next(), 2) + ", " + number(level, 3) + ", " +
                            number(350.0 + 100.0 * rng.next(), 1);
            if (recordLength > 0) {
                while (r.size() < recordLength)
                    r += ", " + number(rng.next(), 4);
                r.resize(recordLength);
            }
            set.records.push_back(std::move(r));
        }
        sets.push_back(std::move(set));
    }
    return sets;
}

std::vector<DataSet> hostileDataSets() {
    std::vector<DataSet> sets = {{"../x", {}}, {"a/b", {}}, {"", {}}, {std::string(300, 'L'), {}}};
    for (DataSet& set : sets) {
        set.records = {"26-06-01 00:00:00, 12.70, 10.00, 1.000, 400.0",
                       "26-06-01 00:10:00, 12.70, 10.10, 1.001, 400.2"};
    }
    return sets;
}

std::vector<DataSet> longLineDataSets() {
    DataSet set{"LONGLINES", {}};
    for (std::size_t length : {7998, 7999, 8000, 8001, 16000}) {
        std::string r = "26-06-01 00:00:00, " + std::to_string(length) + " bytes";
        for (std::size_t i = 0; r.size() < length; ++i)
            r += static_cast<char>('a' + i % 26);
        set.records.push_back(std::move(r));
    }
    return {set};
}

std::vector<DataSet> unusualDataSets() {
    return {
        {"Temp \xb0"
         "C \xb5S",
         {"24-03-01 10:00:00\t21.5\xb0"
          "C\t12.0 \xb5S",
          "24-03-01 10:10:00\t21.6\xb0"
          "C\t12.1 \xb5S"}},
        {"EMPTY", {}},
        {"*NOTES", {"24-03-01 10:00:00, 1.0, 2.0", "* calibrated", "24-03-01 10:10:00, 1.1"}},
    };
}

} // namespace sim
