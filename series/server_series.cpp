// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/server_series.h"

#include "fleet/server_history.h"

#include <utility>

namespace series {

bool ServerSeries::read(const std::string& conninfo, const std::string& serial,
                        const std::string& name, int ordinal, std::string& why) {
    const fleet::ServerSeries held = fleet::readSeriesRecords(
        conninfo, QString::fromLatin1(serial.data(), qsizetype(serial.size())),
        sharedDataSet(name, ordinal));
    if (!held.ok) {
        why = held.message.toStdString();
        return false;
    }
    m_records.clear();
    m_notes.clear();
    m_info = SeriesInfo{};
    m_info.serial = serial;
    m_info.name = name;
    m_info.ordinal = ordinal;
    // Per place, the record whose hash continues the chain taken so far.
    std::int64_t segment = -1;
    std::int64_t next = 0;
    RecordChain chain;
    for (std::size_t i = 0; i < held.records.size();) {
        const std::int64_t seg = held.records[i].segment;
        const std::int64_t pos = held.records[i].position;
        std::size_t end = i;
        while (end < held.records.size() && held.records[end].segment == seg &&
               held.records[end].position == pos)
            ++end;
        if (seg != segment) {
            segment = seg;
            next = 0;
            chain.restart();
        }
        if (pos != next) { // a gap: a record not shared (yet); the segment ends here
            i = end;
            continue;
        }
        const ServerRecord* taken = nullptr;
        ServerRecord candidate;
        for (std::size_t k = i; k < end && !taken; ++k) {
            if (!recordFromPayload(held.records[k].payload,
                                   next == 0 || m_records.empty() ? nullptr : &m_records.back(),
                                   candidate))
                continue;
            RecordChain trial = chain;
            if (trial.next(candidate.line) == held.records[k].chainHash) {
                candidate.segment = static_cast<int>(seg);
                candidate.position = static_cast<std::uint64_t>(pos);
                m_records.push_back(std::move(candidate));
                taken = &m_records.back();
                chain = std::move(trial); // the chain has taken it
            }
        }
        i = end;
        if (!taken)
            continue;
        ++next;
        if (next == 1)
            ++m_info.segments;
        ++m_info.records;
        m_info.bytes += taken->line.size();
        if (taken->usualInterval > 0)
            m_info.usualInterval = taken->usualInterval;
        for (const std::string& text : taken->notes)
            m_notes.push_back(Note{taken->segment + 1, taken->position + 1, text, taken->download});
    }
    if (m_records.empty()) {
        why = "the server holds no records of unit " + serial + ", data set " + name;
        return false;
    }
    return true;
}

RecordSource ServerSeries::source() const {
    return {m_info, m_notes, [this](const std::function<bool(const RecordRef&)>& each) {
                RecordRef ref;
                for (const ServerRecord& r : m_records) {
                    ref.segment = r.segment + 1;
                    ref.index = r.position;
                    ref.line = r.line;
                    ref.timeFlags = r.timeFlags;
                    ref.provisional = false; // only confirmed records are shared
                    ref.offsetSeconds = r.offsetSeconds;
                    ref.dateOrder = r.dateOrder;
                    ref.download = &r.download;
                    if (!each(ref))
                        return false;
                }
                return true;
            }};
}

} // namespace series
