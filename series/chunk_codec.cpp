// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/chunk_codec.h"

namespace series::detail {

void putVarint(QByteArray& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.append(static_cast<char>(0x80 | (v & 0x7F)));
        v >>= 7;
    }
    out.append(static_cast<char>(v));
}

void putRecord(QByteArray& out, std::uint8_t flags, std::string_view line) {
    out.append(static_cast<char>(flags));
    putVarint(out, line.size());
    out.append(line.data(), static_cast<qsizetype>(line.size()));
}

bool getVarint(const char*& p, const char* end, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const auto b = static_cast<unsigned char>(*p++);
        v |= std::uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

} // namespace series::detail
