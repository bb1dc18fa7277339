// SPDX-License-Identifier: GPL-3.0-or-later
// The identity field's text, the question before a clearing and the guidance, without a
// window: a unit connected, downloaded, unplugged, another one plugged in.
#include "unit/unit_status.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace unit_status;

TEST(UnitRecord, IdentityHoldsOnlyOnTheOpenPortItWasConnectedOn) {
    UnitRecord r;
    EXPECT_EQ(identityText(r, false, 3), "COM3 - not connected");
    EXPECT_EQ(identityText(r, false, -1), "No COM port - not connected");
    r.connected({"AB12CD34", 3, "/dev/ttyUSB0"});
    EXPECT_FALSE(r.follow(true, 3));
    EXPECT_EQ(identityText(r, true, 3), "AB12CD34 on COM3 (/dev/ttyUSB0)");
    // Moved to another port (a second adapter plugged in): not that unit any more, even
    // when the session is open there.
    EXPECT_TRUE(r.follow(true, 4));
    EXPECT_EQ(identityText(r, true, 4), "unit not identified on COM4");
    EXPECT_FALSE(r.current());
    // Closed for any cause on the same port: the next unit there has to answer again.
    r.connected({"AB12CD34", 3, ""});
    EXPECT_EQ(identityText(r, true, 3), "AB12CD34 on COM3");
    EXPECT_TRUE(r.follow(false, 3));
    EXPECT_EQ(identityText(r, false, 3), "COM3 - not connected");
    // Bytes of line noise in the serial number do not reach the status bar or the log raw.
    r.connected({std::string("AB\x01"
                             "2\xff"
                             "D34",
                             8),
                 1, ""});
    EXPECT_EQ(identityText(r, true, 1), "AB?2?D34 on COM1");
    // The serial number is shown as the unit gave it, the model in it or not.
    r.connected({"XRQ10472", 1, ""});
    EXPECT_EQ(identityText(r, true, 1), "XRQ10472 on COM1");
}

TEST(UnitRecord, ClearingAsksFirstForAUnitNotDownloadedSinceItsConnect) {
    UnitRecord r;
    // Nothing known on the port: the question says the unit could not be named.
    auto q = clearMemoryQuestion(r, 2, "/dev/pts/4");
    ASSERT_TRUE(q);
    EXPECT_NE(q->find("The XRQ unit on COM2 (/dev/pts/4) did not give its serial number"),
              std::string::npos)
        << *q;

    r.connected({"UNIT0001", 2, "/dev/pts/4"});
    q = clearMemoryQuestion(r, 2, "/dev/pts/4");
    ASSERT_TRUE(q);
    EXPECT_EQ(*q, "UNIT0001 on COM2 (/dev/pts/4) has not been downloaded since it was "
                  "connected: its data would be lost.\nClear its memory anyway?");
    r.downloaded();
    EXPECT_FALSE(clearMemoryQuestion(r, 2, "/dev/pts/4"));

    // Unplugged and named again without a Connect (the clearing reads its serial number):
    // its download still counts. A second unit on the same port does not inherit it.
    r.follow(false, 2);
    r.identified({"UNIT0001", 2, "/dev/pts/4"});
    EXPECT_FALSE(clearMemoryQuestion(r, 2, "/dev/pts/4"));
    r.identified({"UNIT0002", 2, "/dev/pts/4"});
    EXPECT_TRUE(clearMemoryQuestion(r, 2, "/dev/pts/4"));
    // A new Connect starts over: downloaded "since it was connected" no longer holds.
    r.connected({"UNIT0001", 2, "/dev/pts/4"});
    EXPECT_TRUE(clearMemoryQuestion(r, 2, "/dev/pts/4"));
    // Known, but on another port than the session's now: not named from memory.
    r.downloaded();
    q = clearMemoryQuestion(r, 5, "");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->rfind("The XRQ unit on COM5 did not give", 0), 0u) << *q;
}

// A download that cannot be relied on undoes "downloaded": the question says why, until a
// whole download of that unit follows. Another unit keeps its own record.
TEST(UnitRecord, AnIncompleteDownloadMakesTheClearingAskWhy) {
    UnitRecord r;
    r.connected({"XRQ0007", 1, ""});
    r.downloaded();
    r.downloadIncomplete("it did not end with the unit's prompt");
    auto q = clearMemoryQuestion(r, 1, "");
    ASSERT_TRUE(q);
    EXPECT_EQ(*q, "The last download of XRQ0007 was incomplete: it did not end with the unit's "
                  "prompt.\nClear its memory anyway?");
    r.identified({"UNIT0002", 1, ""});
    q = clearMemoryQuestion(r, 1, "");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->rfind("UNIT0002 on COM1 has not been downloaded", 0), 0u) << *q;
    r.identified({"XRQ0007", 1, ""});
    r.downloaded();
    EXPECT_FALSE(clearMemoryQuestion(r, 1, ""));
    EXPECT_EQ(r.lastDownloadIncomplete("XRQ0007"), "");
}

TEST(Guidance, EachTroubleInTheOrderItIsChecked) {
    struct Case {
        PortFacts facts;
        Trouble trouble;
        const char* start;
    };
    const Case cases[] = {
        {{false, -1, false, false, "", "", false},
         Trouble::NoSerialPort,
         "No serial port found on this computer"},
        {{false, 3, false, false, "", "", false}, Trouble::NoSerialPort, "No serial port found"},
        {{true, 3, false, false, "", "", false}, Trouble::PortMissing, "COM3 is not present"},
        {{true, 33, true, true, "/dev/ttyUSB0", "uucp", false},
         Trouble::NoPermission,
         "No permission to open /dev/ttyUSB0: join the group uucp (sudo adduser $USER uucp)"},
        {{true, 33, true, true, "", "", false},
         Trouble::NoPermission,
         "No permission to open COM33: join the group dialout"},
        {{true, 1, true, false, "", "", true},
         Trouble::NoAnswer,
         "No answer from the XRQ unit on COM1: is it switched on and its cable plugged in? "
         "Wait 10 seconds"},
        {{true, 1, true, false, "", "", false}, Trouble::None, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(diagnose(c.facts), c.trouble) << c.start;
        const std::string text = guidanceText(diagnose(c.facts), c.facts);
        EXPECT_EQ(text.rfind(c.start, 0), 0u) << text;
        EXPECT_EQ(text.empty(), c.trouble == Trouble::None);
    }
}

TEST(UnitRecord, TheIdentitySaysWhatTheSessionKnowsAndNoMore) {
    // Each case: what happened to the session, then what the identity field must say.
    struct Case {
        const char* what;
        std::function<void(UnitRecord&)> happen;
        bool portOpen;
        int port;
        std::string identity;
    };
    const Unit unit{"XRQ10472", 1, "/dev/pts/3"};
    const Case cases[] = {
        {"a download opened the port of a unit never connected", [](UnitRecord&) {}, true, 1,
         "unit not identified on COM1"},
        {"connected, then its Connect fails with the port still open",
         [&](UnitRecord& r) {
             r.connected(unit);
             r.forget();
         },
         true, 1, "unit not identified on COM1"},
        {"connected, then its Connect fails and the port closes",
         [&](UnitRecord& r) {
             r.connected(unit);
             r.forget();
         },
         false, 1, "COM1 - not connected"},
        {"connected and still open", [&](UnitRecord& r) { r.connected(unit); }, true, 1,
         "XRQ10472 on COM1 (/dev/pts/3)"},
        {"named by a clearing on another port", [&](UnitRecord& r) { r.identified(unit); }, true, 2,
         "unit not identified on COM2"},
        {"no port at all", [](UnitRecord&) {}, true, -1, "No COM port - not connected"},
    };
    for (const Case& c : cases) {
        UnitRecord r;
        c.happen(r);
        r.follow(c.portOpen, c.port);
        EXPECT_EQ(identityText(r, c.portOpen, c.port), c.identity) << c.what;
    }
    // A caller tells a Connect that succeeded by the count moving; naming by a clearing is
    // no Connect.
    UnitRecord r;
    r.identified(unit);
    EXPECT_EQ(r.connects(), 0u);
    r.connected(unit);
    r.connected(unit);
    EXPECT_EQ(r.connects(), 2u);
}

} // namespace
