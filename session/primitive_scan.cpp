// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/primitive_scan.h"

namespace {
void store(MatchState& s, char c) {
    *s.StorePtr = c;
    ++s.StorePtr;
    *s.StorePtr = '\0';
    --s.StoreCount;
}
} // namespace

void MatchState::scan(std::string_view chunk) {
    for (char c : chunk) {
        // The order matters: the end test precedes the mode-3 store (the end char is not
        // stored), which precedes the start test (the start char is not stored).
        if (EndChar != 0 && c == EndChar) {
            if (EndArmed)
                Terminated = true;
            EndSeen = true;
        }
        if (StoreMode == 3 && Collecting && !Terminated && StoreCount > 0 && StorePtr)
            store(*this, c);
        if (StartChar != 0 && c == StartChar) {
            if (StartArmed)
                Collecting = true;
            StartSeen = true;
        }
        if (StoreMode == 2 && StoreCount > 0 && StorePtr)
            store(*this, c);
    }
}

void MatchState::resetAfterWait() {
    StartArmed = false;
    EndArmed = false;
    Collecting = false;
    Terminated = false;
    Capturing = false;
    StoreCount = 0;
}
