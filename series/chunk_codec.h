// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The series' chunk: the records of a segment that one download brought, in one blob, per
// record a flags byte, its length (a varint: 7 bits a byte, the low ones first, the top bit
// set on all but the last byte) and its bytes. A record costs its bytes and about two more.
// Pure functions, no SQL: the store writes and reads the blobs (store_db.h, held_reader.h,
// span_reader.h).

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace series::detail {

// A chunk holds the records of one download, up to this many (or bytes).
inline constexpr std::size_t kChunkRecords = 4096;
inline constexpr std::size_t kChunkBytes = 256 * 1024;

void putVarint(QByteArray& out, std::uint64_t v);
// A record as a chunk holds it: its flags, its length, its bytes.
void putRecord(QByteArray& out, std::uint8_t flags, std::string_view line);
// False when the bytes end inside the number or it needs more than 64 bits.
bool getVarint(const char*& p, const char* end, std::uint64_t& v);

// Calls `each(flags, line)` for every record of a chunk's blob; false when it is damaged.
template <class F> bool decodeChunk(const QByteArray& data, F&& each) {
    const char* p = data.constData();
    const char* end = p + data.size();
    while (p < end) {
        const auto flags = static_cast<std::uint8_t>(*p++);
        std::uint64_t len;
        if (!getVarint(p, end, len) || len > std::uint64_t(end - p))
            return false;
        if (!each(flags, std::string_view(p, len)))
            return true;
        p += len;
    }
    return true;
}

} // namespace series::detail
