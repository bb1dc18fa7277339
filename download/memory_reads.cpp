// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/memory_reads.h"

#include "series/download_text.h"

#include <algorithm>

namespace download {

namespace {

std::string setText(const series::SetLines& set, std::size_t index) {
    return "data set " + std::to_string(index + 1) + " (\"" + set.name + "\")";
}

// The comparison, on the two reads as the series reads a download.
std::string firstSetsBeginSecond(const series::DownloadSets& first,
                                 const series::DownloadSets& second) {
    if (!first.readable || !second.readable)
        return "a read could not be read: " + (first.readable ? second.error : first.error);
    if (first.cut || second.cut)
        return "a read did not end with the unit's prompt";
    if (first.sets.empty())
        return "the first read holds no data set";
    if (second.sets.size() < first.sets.size())
        return "the second read holds " + std::to_string(second.sets.size()) +
               " data sets, the first " + std::to_string(first.sets.size());
    for (std::size_t i = 0; i < first.sets.size(); ++i) {
        const series::SetLines& a = first.sets[i];
        const series::SetLines& b = second.sets[i];
        if (a.name != b.name)
            return setText(a, i) + " is named \"" + b.name + "\" in the second read";
        if (b.records.size() < a.records.size())
            return setText(a, i) + " holds " + std::to_string(b.records.size()) +
                   " records in the second read, " + std::to_string(a.records.size()) +
                   " in the first";
        const auto differ = std::mismatch(a.records.begin(), a.records.end(), b.records.begin());
        if (differ.first != a.records.end())
            return "record " + std::to_string(differ.first - a.records.begin() + 1) + " of " +
                   setText(a, i) + " differs";
    }
    return {};
}

} // namespace

std::string firstReadBeginsSecond(std::string_view first, std::string_view second) {
    return firstSetsBeginSecond(series::parseDownloadText(first),
                                series::parseDownloadText(second));
}

std::string firstKeptReadBeginsSecond(const std::string& firstPath, const std::string& secondPath) {
    return firstSetsBeginSecond(series::readDownloadFile(firstPath),
                                series::readDownloadFile(secondPath));
}

} // namespace download
