// SPDX-License-Identifier: GPL-3.0-or-later
// The per-chunk scan: the order of its four tests decides what each primitive stores.
#include "session/primitive_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Arms the state as each primitive does and feeds chunks through it.
struct Armed {
    MatchState s;
    std::vector<char> buffer;

    static Armed between(char start, char end, int n) {
        Armed a;
        a.buffer.assign(static_cast<std::size_t>(n) + 1 + 8, 'X'); // guard bytes behind
        a.s.StartChar = start;
        a.s.EndChar = end;
        a.s.StartArmed = a.s.EndArmed = true;
        a.s.StoreMode = 3;
        a.s.StoreCount = n;
        a.s.StorePtr = a.buffer.data();
        return a;
    }
    static Armed untilTermination(char term, int n) {
        Armed a;
        a.buffer.assign(static_cast<std::size_t>(n) + 1 + 8, 'X');
        a.s.EndChar = term;
        a.s.StartArmed = a.s.EndArmed = true;
        a.s.Collecting = true;
        a.s.StoreMode = 2;
        a.s.StoreCount = n;
        a.s.StorePtr = a.buffer.data();
        return a;
    }
    std::string stored() const { return std::string(buffer.data()); }
    // Bytes behind the room of n + 1 must never be touched.
    bool guardIntact(int n) const {
        for (std::size_t i = static_cast<std::size_t>(n) + 1; i < buffer.size(); ++i)
            if (buffer[i] != 'X')
                return false;
        return true;
    }
};

TEST(PrimitiveScan, BetweenCharsStoresOnlyWhatFollowsTheStartChar) {
    struct Case {
        std::vector<std::string> chunks;
        std::string stored;
        int remaining;
        bool terminated;
    };
    const Case cases[] = {
        {{"xyz#AB12CD34>"}, "AB12CD34", 0, true}, // prefix ignored, '#' not stored
        {{"xy", "z#AB", "12CD3", "4"}, "AB12CD34", 0, false},
        {{"#AB12>"}, "AB12", 4, true},            // '>' ends storing, count stays
        {{"#AB12>", "CDEF"}, "AB12", 4, true},    // nothing after the end char
        {{"#A#B12CD34"}, "A#B12CD3", 0, false},   // a later start char is stored
        {{"#abcdefghijk>"}, "abcdefgh", 0, true}, // never beyond N
        {{">#abc"}, "", 8, true},                 // end before start: never stores
    };
    for (const auto& c : cases) {
        auto a = Armed::between('#', '>', 8);
        a.buffer[0] = '\0';
        for (const auto& chunk : c.chunks)
            a.s.scan(chunk);
        EXPECT_EQ(a.stored(), c.stored) << c.chunks.front();
        EXPECT_EQ(a.s.StoreCount, c.remaining) << c.chunks.front();
        EXPECT_EQ(a.s.Terminated, c.terminated) << c.chunks.front();
        EXPECT_TRUE(a.guardIntact(8)) << c.chunks.front();
    }
}

TEST(PrimitiveScan, UntilTerminationStoresTheWholeChunkHoldingTheTerminator) {
    auto a = Armed::untilTermination('>', 20);
    a.s.scan("Bat: 12.3");
    EXPECT_FALSE(a.s.Terminated);
    a.s.scan(" V>tail");
    EXPECT_TRUE(a.s.Terminated);
    EXPECT_EQ(a.stored(), "Bat: 12.3 V>tail");
    EXPECT_EQ(a.s.StoreCount, 4);
}

TEST(PrimitiveScan, UntilTerminationDropsBytesBeyondNButStillSeesTheTerminator) {
    auto a = Armed::untilTermination('>', 4);
    a.s.scan("abcdefgh");
    a.s.scan(std::string(5000, 'z') + ">");
    EXPECT_EQ(a.stored(), "abcd");
    EXPECT_EQ(a.s.StoreCount, 0);
    EXPECT_TRUE(a.s.Terminated);
    EXPECT_TRUE(a.guardIntact(4));
}

TEST(PrimitiveScan, ZeroCharsNeverMatchAndUnarmedMatchesOnlyMarkSeen) {
    MatchState s;
    s.StartChar = '>';
    s.EndChar = 0;
    s.StartArmed = true;
    s.EndArmed = false;
    s.StoreMode = 1;
    s.scan(std::string("ab\0cd", 5));
    EXPECT_FALSE(s.StartSeen);
    EXPECT_FALSE(s.EndSeen);
    s.scan("x>");
    EXPECT_TRUE(s.StartSeen);
    EXPECT_FALSE(s.Terminated);

    // After a primitive has reset the state, chunks change flags but store nothing.
    char buf[4] = {'q', 'q', 'q', 'q'};
    MatchState idle;
    idle.StoreMode = 2;
    idle.StoreCount = 3;
    idle.StorePtr = buf;
    idle.EndChar = '>';
    idle.resetAfterWait();
    idle.scan("abc>");
    EXPECT_EQ(std::string(buf, 4), "qqqq");
    EXPECT_TRUE(idle.EndSeen);
    EXPECT_FALSE(idle.Terminated);
    EXPECT_FALSE(idle.Capturing);
}

} // namespace
