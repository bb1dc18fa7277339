// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/held_records.h"

#include "series/record_time.h"
#include "series/series_share.h"
#include "series/series_store.h"

#include <map>
#include <set>
#include <sys/stat.h>

namespace series {

platform::Result<std::vector<fleet::RecordLook>>
lookUpRecords(const std::string& folder, const QString& unit,
              const std::vector<fleet::OtherRecord>& records) {
    std::vector<fleet::RecordLook> out(records.size());
    std::map<std::pair<std::string, int>, std::set<std::string>> wanted;
    std::vector<std::string> lines(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        lines[i] = records[i].line.toLatin1().toStdString();
        const std::string_view stamp = stampText(lines[i]);
        out[i].stamp = QString::fromLatin1(stamp.data(), qsizetype(stamp.size()));
        double seconds = 0;
        if (unitSeconds(lines[i], chooseDateOrder({lines[i]}), seconds))
            out[i].unitSeconds = seconds;
        wanted[dataSetOfShared(records[i].dataSet)].insert(lines[i]);
    }
    const std::string path = folder + kFileName;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return out; // no series here: none of them is held
    SeriesStore store;
    if (auto opened = store.openToRead(path); !opened)
        return opened.error();
    const std::string serial = unit.toLatin1().toStdString();
    std::set<std::pair<std::string, std::string>> held; // (data set, line)
    for (auto& entry : wanted) {
        const std::pair<std::string, int>& set = entry.first;
        std::set<std::string>& want = entry.second;
        const auto info = store.find(serial, set.first, set.second);
        if (!info)
            continue;
        const bool read = store.forEachRecord(info->id, [&](const RecordRef& r) {
            const std::string line(r.line);
            if (want.erase(line) > 0)
                held.insert({set.first + '\x1f' + std::to_string(set.second), line});
            return !want.empty();
        });
        if (!read && !want.empty())
            return platform::makeError(platform::ErrorKind::Corrupt,
                                       "the series of " + set.first + " not read");
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto set = dataSetOfShared(records[i].dataSet);
        out[i].held = held.count({set.first + '\x1f' + std::to_string(set.second), lines[i]}) > 0;
    }
    return out;
}

} // namespace series
