// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where received bytes go, chunk by chunk, handed to the session by whoever uses it: a
// download's files, a window's echo, the terminal. The session knows no more of them than
// this. UI thread only.

#include <string_view>

namespace session {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // One received chunk. False: the bytes could not be taken, and a capture into this sink
    // ends at once (a download with a hole in it must not go on as if whole).
    virtual bool write(std::string_view bytes) = 0;
};

// Both in turn: the first, and only when it took the bytes, the second.
class TeeSink : public ByteSink {
public:
    TeeSink(ByteSink& first, ByteSink& second) : m_first(first), m_second(second) {}
    bool write(std::string_view bytes) override {
        return m_first.write(bytes) && m_second.write(bytes);
    }

private:
    ByteSink& m_first;
    ByteSink& m_second;
};

// Takes every chunk and keeps nothing.
class NullSink : public ByteSink {
public:
    bool write(std::string_view) override { return true; }
};

} // namespace session
