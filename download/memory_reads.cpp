// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/memory_reads.h"

#include "series/download_text.h"

#include <QFile>

#include <algorithm>

namespace download {

namespace {

bool readWhole(const std::string& path, std::string& bytes, std::string& why) {
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::ReadOnly)) {
        why = "cannot read " + path + ": " + file.errorString().toStdString();
        return false;
    }
    const QByteArray all = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        why = "cannot read " + path + ": " + file.errorString().toStdString();
        return false;
    }
    bytes.assign(all.constData(), static_cast<std::size_t>(all.size()));
    return true;
}

std::string setText(const series::SetLines& set, std::size_t index) {
    return "data set " + std::to_string(index + 1) + " (\"" + set.name + "\")";
}

} // namespace

std::string firstReadBeginsSecond(std::string_view firstText, std::string_view secondText) {
    const series::DownloadSets first = series::parseDownloadText(firstText);
    const series::DownloadSets second = series::parseDownloadText(secondText);
    if (!first.readable || !second.readable)
        return "a read holds a name line without ':'";
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

std::string firstKeptReadBeginsSecond(const std::string& firstPath, const std::string& secondPath) {
    std::string first, second, why;
    if (!readWhole(firstPath, first, why) || !readWhole(secondPath, second, why))
        return why;
    return firstReadBeginsSecond(first, second);
}

} // namespace download
