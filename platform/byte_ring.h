// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A serial driver's input queue: a ring, so that an arrival and a read are each at most two
// block copies, and a resize keeps what is queued. Not locked: the driver's lock guards it.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace platform {

class ByteRing {
public:
    // Never below what is queued: a smaller queue keeps its bytes.
    void resize(std::size_t capacity) {
        capacity = std::max(capacity, m_size);
        std::vector<char> next(capacity);
        const std::size_t kept = m_size;
        pop(next.data(), m_size);
        m_buf.swap(next);
        m_head = 0;
        m_size = kept;
    }
    std::size_t capacity() const { return m_buf.size(); }
    std::size_t size() const { return m_size; }
    std::size_t free() const { return m_buf.size() - m_size; }

    // The contiguous free space at the tail, to be filled and then committed.
    std::pair<char*, std::size_t> tail() {
        if (m_buf.empty() || m_size == m_buf.size())
            return {nullptr, 0};
        const std::size_t t = (m_head + m_size) % m_buf.size();
        const std::size_t len = t >= m_head ? m_buf.size() - t : m_head - t;
        return {m_buf.data() + t, len};
    }
    void commit(std::size_t n) { m_size += n; }

    // Takes up to `n` bytes from the head.
    void pop(char* out, std::size_t n) {
        n = std::min(n, m_size);
        if (n == 0)
            return;
        const std::size_t first = std::min(n, m_buf.size() - m_head);
        std::memcpy(out, m_buf.data() + m_head, first);
        if (n > first)
            std::memcpy(out + first, m_buf.data(), n - first);
        m_head = (m_head + n) % m_buf.size();
        m_size -= n;
        if (m_size == 0)
            m_head = 0;
    }
    void clear() { m_head = m_size = 0; }

private:
    std::vector<char> m_buf;
    std::size_t m_head = 0;
    std::size_t m_size = 0;
};

} // namespace platform
