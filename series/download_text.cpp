// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/download_text.h"

#include "series/download_lines.h"
#include "series/download_records.h"

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
        out.sets.push_back({set.name, {}, set.complete});
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
