// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/download_text.h"

#include "series/download_lines.h"

#include <QFile>

namespace series {

DownloadSets parseDownloadText(std::string_view text) {
    DownloadSets out;
    const std::size_t linesEnd = answerLinesLength(text);
    out.cut = text.substr(linesEnd).find('>') == std::string_view::npos;
    const std::string_view body = text.substr(0, linesEnd);
    SetLines* current = nullptr;
    std::size_t at = 0;
    while (at < body.size()) {
        const auto lf = body.find('\n', at);
        std::string_view line = body.substr(at, lf - at);
        at = lf + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        switch (classifyLine(line)) {
        case LineKind::Blank:
        case LineKind::Comment:
        case LineKind::Command:
            break;
        case LineKind::NoData:
            out.noData = true;
            return out;
        case LineKind::Header: {
            SetLines set;
            if (!headerName(line, set.name)) {
                // The conversion stops at such a header; so does the series.
                out.readable = false;
                out.error = "data-set header without ':'";
                return out;
            }
            out.sets.push_back(std::move(set));
            current = &out.sets.back();
            break;
        }
        case LineKind::Data:
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
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::ReadOnly)) {
        DownloadSets out;
        out.readable = false;
        out.error = "cannot read " + path + ": " + file.errorString().toStdString();
        return out;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        DownloadSets out;
        out.readable = false;
        out.error = "cannot read " + path + ": " + file.errorString().toStdString();
        return out;
    }
    return parseDownloadText(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

} // namespace series
