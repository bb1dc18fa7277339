// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A segment's records by place, for the alignment and the merge (series_store_apply.cpp).

#include "platform/result.h"

#include <QByteArray>
#include <QSqlDatabase>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace series::detail {

// A segment's records by place, for the alignment: its chunks read as they are asked for (in
// order of place nearly always), the last few kept decoded.
class HeldReader {
public:
    HeldReader(QSqlDatabase& db, std::int64_t segment) : m_db(db), m_segment(segment) {}

    // The segment's chunks, where each lies.
    platform::Result<void> open();
    // The record at `place` (empty, and failed(), when it cannot be read).
    std::string_view at(std::size_t place) {
        const Loaded* c = load(place);
        return c ? c->lines[place - m_chunks[c->chunk].first] : std::string_view();
    }
    std::int64_t downloadOf(std::size_t place) {
        const std::size_t i = chunkOf(place);
        return i < m_chunks.size() ? m_chunks[i].download : 0;
    }
    // Whether a record could not be read; then error() says why (asked only then).
    bool failed() const { return m_error.has_value(); }
    const platform::Error& error() const { return *m_error; }

private:
    struct Chunk {
        std::int64_t id = 0;
        std::uint64_t first = 0, count = 0;
        std::int64_t download = 0;
    };
    struct Loaded {
        std::size_t chunk = static_cast<std::size_t>(-1);
        QByteArray data;
        std::vector<std::string_view> lines;
        std::uint64_t used = 0;
    };
    std::size_t chunkOf(std::size_t place) const;
    const Loaded* load(std::size_t place);

    QSqlDatabase& m_db;
    std::int64_t m_segment;
    std::vector<Chunk> m_chunks;
    std::array<Loaded, 4> m_cache;
    std::uint64_t m_clock = 0;
    std::optional<platform::Error> m_error;
};

} // namespace series::detail
