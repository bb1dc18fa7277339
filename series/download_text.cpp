// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/download_text.h"

#include "series/download_lines.h"
#include "series/download_records.h"
#include "series/record_time.h"

#include <charconv>

namespace series {

LineRole roleOf(std::string_view line, std::string& name) {
    switch (classifyLine(line)) {
    case LineKind::Blank:
    case LineKind::Comment:
    case LineKind::Command:
        return LineRole::Other;
    case LineKind::NoData:
        return LineRole::NoData;
    case LineKind::Header:
        return headerName(line, name) ? LineRole::SetStart : LineRole::BadHeader;
    case LineKind::Data:
        break;
    }
    return LineRole::Record;
}

std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> out;
    fieldsOf(line, out);
    return out;
}

void fieldsOf(std::string_view line, std::vector<std::string_view>& out) {
    out.clear();
    std::size_t at = 0;
    for (;;) {
        const auto comma = line.find(',', at);
        out.push_back(
            trimmed(line.substr(at, comma == std::string_view::npos ? comma : comma - at)));
        if (comma == std::string_view::npos)
            return;
        at = comma + 1;
    }
}

namespace {

bool isNumber(std::string_view cell) {
    if (!cell.empty() && cell.front() == '+')
        cell.remove_prefix(1);
    double v = 0;
    const auto r = std::from_chars(cell.data(), cell.data() + cell.size(), v);
    return !cell.empty() && r.ptr == cell.data() + cell.size() &&
           (r.ec == std::errc() || r.ec == std::errc::result_out_of_range);
}

std::size_t fieldCount(std::string_view line) {
    std::size_t n = 1;
    for (const char c : line)
        n += c == ',';
    return n;
}

} // namespace

bool namesColumns(std::string_view line, const std::string_view* next) {
    if (!stampText(line).empty())
        return false;
    // The records it names begin with their time stamps: a set of records without one has
    // no title line to tell apart from its first record.
    if (next && (fieldCount(*next) != fieldCount(line) || stampText(*next).empty()))
        return false;
    bool anyName = false;
    for (const std::string_view cell : fieldsOf(line)) {
        if (isNumber(cell))
            return false;
        anyName = anyName || !cell.empty();
    }
    return anyName;
}

DownloadSets parseDownloadText(std::string_view text) {
    DownloadSets out;
    const std::size_t linesEnd = answerLinesLength(text);
    out.cut = text.substr(linesEnd).find('>') == std::string_view::npos;
    const std::string_view body = text.substr(0, linesEnd);
    SetLines* current = nullptr;
    std::size_t at = 0;
    std::string name;
    while (at < body.size()) {
        const auto lf = body.find('\n', at);
        std::string_view line = body.substr(at, lf - at);
        at = lf + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        switch (roleOf(line, name)) {
        case LineRole::Other:
            break;
        case LineRole::NoData:
            out.noData = true;
            return out;
        case LineRole::BadHeader:
            out.readable = false;
            out.error = kHeaderWithoutColon;
            return out;
        case LineRole::SetStart:
            out.sets.push_back({std::move(name), {}, true});
            current = &out.sets.back();
            break;
        case LineRole::Record:
            if (current)
                current->records.emplace_back(line);
            break;
        }
    }
    if (out.cut && !out.sets.empty())
        out.sets.back().complete = false;
    for (SetLines& set : out.sets) {
        if (set.records.empty())
            continue;
        const std::string_view second =
            set.records.size() > 1 ? std::string_view(set.records[1]) : std::string_view();
        if (namesColumns(set.records[0], set.records.size() > 1 ? &second : nullptr)) {
            set.titles = std::move(set.records[0]);
            set.records.erase(set.records.begin());
        }
    }
    return out;
}

DownloadSets readDownloadFile(const std::string& path) {
    DownloadSets out;
    const auto records = readDownloadRecords(path);
    out.readable = records->readable();
    out.error = records->error();
    out.noData = records->noData();
    out.cut = records->cut();
    for (std::size_t s = 0; s < records->sets().size() && out.readable; ++s) {
        const SetIndex& set = records->sets()[s];
        out.sets.push_back({set.name, {}, set.complete, set.titles});
        out.sets.back().records.reserve(set.size());
        std::string_view line;
        if (!records->seek(s, 0))
            break;
        while (records->next(line))
            out.sets.back().records.emplace_back(line);
    }
    if (records->failed()) {
        out.readable = false;
        out.error = records->readError();
        out.sets.clear();
    }
    return out;
}

} // namespace series
