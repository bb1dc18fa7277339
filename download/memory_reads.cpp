// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/memory_reads.h"

#include "series/download_records.h"

namespace download {

namespace {

std::string setText(const series::SetIndex& set, std::size_t index) {
    return "data set " + std::to_string(index + 1) + " (\"" + set.name + "\")";
}

// The comparison, on the two reads as the series reads a download (as a stream: a set's
// records compared byte for byte as they are read again).
std::string firstSetsBeginSecond(series::DownloadRecords& first, series::DownloadRecords& second) {
    if (!first.readable() || !second.readable())
        return "a read could not be read: " + (first.readable() ? second.error() : first.error());
    if (first.cut() || second.cut())
        return "a read did not end with the unit's prompt";
    if (first.sets().empty())
        return "the first read holds no data set";
    if (second.sets().size() < first.sets().size())
        return "the second read holds " + std::to_string(second.sets().size()) +
               " data sets, the first " + std::to_string(first.sets().size());
    for (std::size_t i = 0; i < first.sets().size(); ++i) {
        const series::SetIndex& a = first.sets()[i];
        const series::SetIndex& b = second.sets()[i];
        if (a.name != b.name)
            return setText(a, i) + " is named \"" + b.name + "\" in the second read";
        if (b.size() < a.size())
            return setText(a, i) + " holds " + std::to_string(b.size()) +
                   " records in the second read, " + std::to_string(a.size()) + " in the first";
        std::size_t differsAt = 0;
        if (!series::compareSetBeginning(first, i, second, i, differsAt))
            return "a read could not be read: " +
                   (first.failed() ? first.readError() : second.readError());
        if (differsAt > 0)
            return "record " + std::to_string(differsAt) + " of " + setText(a, i) + " differs";
    }
    return {};
}

} // namespace

std::string firstReadBeginsSecond(std::string_view first, std::string_view second) {
    const series::DownloadSets a = series::parseDownloadText(first);
    const series::DownloadSets b = series::parseDownloadText(second);
    return firstSetsBeginSecond(*series::downloadRecordsOf(a), *series::downloadRecordsOf(b));
}

std::string firstKeptReadBeginsSecond(const std::string& firstPath, const std::string& secondPath) {
    return firstSetsBeginSecond(*series::readDownloadRecords(firstPath),
                                *series::readDownloadRecords(secondPath));
}

} // namespace download
