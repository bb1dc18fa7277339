// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The match state shared by the command/response primitives and the per-chunk scan that
// drives it. Kept free of windows and ports so that the order of the four tests can be
// checked byte by byte. UI thread only: the primitives arm it, the receive handler scans.

#include <cstdint>
#include <string_view>

struct MatchState {
    char StartChar = 0; // 0 never matches
    char EndChar = 0;   // 0 never matches
    bool StartArmed = true;
    bool EndArmed = true;
    bool Collecting = false;
    bool Terminated = false;
    bool StartSeen = false;
    bool EndSeen = false;
    bool TimedOut = false;
    bool Capturing = false;
    std::uint8_t StoreMode = 0; // 0 capture, 1 wait for a char, 2 store all, 3 store between
    std::int32_t StoreCount = 0;
    char* StorePtr = nullptr;

    // Runs the four tests over every byte of one received chunk. Stores go through StorePtr
    // and are bounded by StoreCount alone: each store writes the byte and a NUL behind it,
    // so a buffer of StoreCount + 1 bytes is never overrun, whatever the line brings.
    void scan(std::string_view chunk);

    // What every primitive does on its way out, also when it leaves by an exception: no
    // later chunk may be stored into a caller's buffer or written to a closed capture file.
    void resetAfterWait();
};
