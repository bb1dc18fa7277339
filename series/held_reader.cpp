// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/held_reader.h"

#include "series/chunk_codec.h"

#include "storage/sqlite_store.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace series::detail {

platform::Result<void> HeldReader::open() {
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id, first, count, download_id FROM chunks WHERE "
                             "segment_id = ? ORDER BY first"));
    q.bindValue(0, qint64(m_segment));
    if (!q.exec())
        return storage::errorOf(q.lastError());
    while (q.next())
        m_chunks.push_back({q.value(0).toLongLong(), q.value(1).toULongLong(),
                            q.value(2).toULongLong(), q.value(3).toLongLong()});
    return {};
}

std::size_t HeldReader::chunkOf(std::size_t place) const {
    auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), place,
                               [](std::size_t p, const Chunk& c) { return p < c.first; });
    if (it == m_chunks.begin())
        return m_chunks.size();
    --it;
    return place < it->first + it->count ? std::size_t(it - m_chunks.begin()) : m_chunks.size();
}

const HeldReader::Loaded* HeldReader::load(std::size_t place) {
    ++m_clock;
    for (Loaded& l : m_cache)
        if (l.chunk < m_chunks.size() && place >= m_chunks[l.chunk].first &&
            place < m_chunks[l.chunk].first + m_chunks[l.chunk].count) {
            l.used = m_clock;
            return &l;
        }
    const std::size_t i = chunkOf(place);
    if (i >= m_chunks.size()) {
        m_error =
            platform::makeError(platform::ErrorKind::Corrupt,
                                "the series' chunks do not hold the records its segment counts");
        return nullptr;
    }
    Loaded* slot = &m_cache[0];
    for (Loaded& l : m_cache)
        if (l.used < slot->used)
            slot = &l;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT data FROM chunks WHERE id = ?"));
    q.bindValue(0, qint64(m_chunks[i].id));
    if (!q.exec() || !q.next()) {
        m_error = q.lastError().isValid() ? storage::errorOf(q.lastError())
                                          : platform::makeError(platform::ErrorKind::Corrupt,
                                                                "a chunk of the series is missing");
        return nullptr;
    }
    slot->chunk = static_cast<std::size_t>(-1);
    slot->data = q.value(0).toByteArray();
    slot->lines.clear();
    slot->lines.reserve(m_chunks[i].count);
    const bool ok = decodeChunk(slot->data, [&](std::uint8_t, std::string_view line) {
        slot->lines.push_back(line);
        return true;
    });
    if (!ok || slot->lines.size() != m_chunks[i].count) {
        m_error =
            platform::makeError(platform::ErrorKind::Corrupt, "a chunk of the series is damaged");
        return nullptr;
    }
    slot->chunk = i;
    slot->used = m_clock;
    return slot;
}

} // namespace series::detail
