// SPDX-License-Identifier: GPL-3.0-or-later
// The command set's decisions against a scripted session: what is sent, in which order the
// operator is told, and what state is left, for each outcome.
#include "unit/instrument_commands.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using Journal = std::vector<std::string>;

class ScriptedSession : public UnitSession {
public:
    explicit ScriptedSession(Journal& j) : journal(j) {}
    Journal& journal;
    bool open = true;
    bool busy = false;
    int openResult = 0;
    // Per command: the result and, for the storing calls, the text put into the buffer.
    std::map<std::string, std::pair<int, std::string>> replies;

    bool sessionOpen() const override { return open; }
    bool exchangeRunning() const override { return busy; }
    int openPort() override {
        journal.push_back("open");
        if (openResult == 0)
            open = true;
        return openResult;
    }
    int reply(const std::string& command, char* buffer, std::int32_t n) {
        journal.push_back("send " + command);
        auto it = replies.find(command);
        if (it == replies.end())
            return -99; // never answered: every caller must treat this as a failure
        if (buffer) {
            const auto& text = it->second.second;
            const std::size_t len = std::min<std::size_t>(text.size(), static_cast<std::size_t>(n));
            std::memcpy(buffer, text.data(), len);
            buffer[len] = '\0';
        }
        return it->second.first;
    }
    int waitForChar(const std::string& c, char, char, std::uint32_t) override {
        return reply(c, nullptr, 0);
    }
    int waitForStringNUntilTermination(const std::string& c, char, std::uint32_t, char* b,
                                       std::int32_t n) override {
        return reply(c, b, n);
    }
    int waitForStringNBetweenChars(const std::string& c, char, char, std::uint32_t, char* b,
                                   std::int32_t n) override {
        return reply(c, b, n);
    }
    int sendString(const std::string& c) override {
        journal.push_back("text " + c);
        return 0;
    }
};

class RecordingView : public CommandView {
public:
    explicit RecordingView(Journal& j) : journal(j) {}
    Journal& journal;
    std::deque<bool> answers;
    std::string serial = "old";
    std::string volts = "N/A", temp = "N/A";
    bool enabled = false;

    void setHourglass(bool on) override { journal.push_back(on ? "wait" : "arrow"); }
    void enableUnitActions() override {
        enabled = true;
        journal.push_back("enable");
    }
    void setBatteryCaptions(const std::string& v, const std::string& t) override {
        volts = v;
        temp = t;
    }
    void setSerialNumber(const std::string& s) override { serial = s; }
    void tellExchangeRunning() override { journal.push_back("busy"); }
    void error(const std::string& m) override { journal.push_back("error " + m); }
    void info(const std::string& m) override { journal.push_back("info " + m); }
    bool confirm(const std::string& m, bool defaultYes) override {
        journal.push_back(std::string("ask ") + (defaultYes ? "Y " : "N ") + m);
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    // What other laptops know, and for which units it was asked.
    std::string note;
    std::vector<std::string> notesAsked;
    std::string otherLaptopsNote(const std::string& s) override {
        notesAsked.push_back(s);
        return note;
    }
};

// What the program knows after unit XRQ10472 was connected and its data downloaded.
unit_status::UnitRecord downloadedUnit() {
    unit_status::UnitRecord units;
    units.connected({"XRQ10472", -1, ""});
    units.downloaded();
    return units;
}

struct Fixture : ::testing::Test {
    Journal journal;
    ScriptedSession session{journal};
    RecordingView view{journal};
    InstrumentCommands commands{session, view};
    Fixture() {
        commands.clockText = [] { return std::string("26-03-21 07:05:09"); };
    }
};

using Connect = Fixture;

TEST_F(Connect, OutcomesInOrder) {
    struct Case {
        const char* name;
        bool open;
        int openResult;
        std::map<std::string, std::pair<int, std::string>> replies;
        Journal expected;
        std::string serial;
        bool enabled;
    };
    const Case cases[] = {
        {"open session",
         true,
         0,
         {{"R", {0, "AB12CD34"}}, {"!", {1, ""}}},
         {"wait", "send R", "arrow", "wait", "send !", "enable", "arrow",
          "info Connected to XRQ unit!"},
         "AB12CD34",
         true},
        {"closed session is opened first",
         false,
         0,
         {{"R", {0, "AB12CD34"}}, {"!", {1, ""}}},
         {"open", "wait", "send R", "arrow", "wait", "send !", "enable", "arrow",
          "info Connected to XRQ unit!"},
         "AB12CD34",
         true},
        {"open fails silently", false, 1, {}, {"open"}, "old", false},
        {"serial request times out",
         true,
         0,
         {{"R", {1, "AB12"}}},
         {"wait", "send R", "error Improper response to serial number request.", "arrow",
          "error Cannot detect XRQ unit", "arrow"},
         "old",
         false},
        {"no prompt after !",
         true,
         0,
         {{"R", {0, "AB12CD34"}}, {"!", {-1, ""}}},
         {"wait", "send R", "arrow", "wait", "send !", "error Cannot detect XRQ unit", "arrow"},
         "AB12CD34",
         false},
    };
    for (const auto& c : cases) {
        journal.clear();
        view.serial = "old";
        view.enabled = false;
        session.open = c.open;
        session.openResult = c.openResult;
        session.replies = c.replies;
        commands.connect();
        EXPECT_EQ(journal, c.expected) << c.name;
        EXPECT_EQ(view.serial, c.serial) << c.name;
        EXPECT_EQ(view.enabled, c.enabled) << c.name;
    }
}

TEST_F(Connect, EveryCommandIsRefusedQuietlyWhileAnExchangeWaits) {
    session.busy = true;
    commands.connect();
    commands.setClock();
    commands.checkBattery();
    commands.clearMemory();
    EXPECT_EQ(journal, (Journal{"busy", "busy", "busy", "busy"}));
}

using SetClock = Fixture;

TEST_F(SetClock, SendsTheClockTextOnlyAfterThePrompt) {
    view.answers = {true};
    session.replies = {{"S", {1, ""}}};
    commands.setClock();
    EXPECT_EQ(journal,
              (Journal{"ask Y Set XRQ clock to computer?", "send S", "text 26-03-21 07:05:09",
                       "info Clock on XRQ set to 26-03-21 07:05:09"}));

    journal.clear();
    view.answers = {true};
    session.replies = {{"S", {-1, ""}}};
    commands.setClock();
    EXPECT_EQ(journal, (Journal{"ask Y Set XRQ clock to computer?", "send S",
                                "error Bad reponse from XRQ Unit"}));

    journal.clear();
    view.answers = {false};
    commands.setClock();
    EXPECT_EQ(journal, (Journal{"ask Y Set XRQ clock to computer?"}));
}

TEST(ClockText, LayoutIsTwoDigitFieldsWithAFourDigitYearCut) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 21;
    t.tm_hour = 7;
    t.tm_min = 5;
    t.tm_sec = 9;
    EXPECT_EQ(formatClockText(t), "26-03-21 07:05:09");
    EXPECT_EQ(currentClockText().size(), 17u);
}

using CheckBat = Fixture;

TEST_F(CheckBat, CaptionsChangeOnlyOnAGoodReading) {
    struct Case {
        int result;
        std::string reply;
        std::string volts, temp; // expected captions afterwards
        bool error;
    };
    const Case cases[] = {
        {0, "Bat: 12.34 Temp: -3.96>", "12.3 V", "-4.0 C", false},
        {0, "A\r\nBAT:12.25V TMP:+21.05C\r\n>", "12.3 V", "21.1 C", false},
        {0, "v:1e1 t:  \t-0.04>", "10.0 V", "0.0 C", false},
        {0, "Bat: 12.34>", "N/A", "N/A", true},           // one ':' only
        {0, "Bat: x Temp: 1>", "N/A", "N/A", true},       // no number after the first
        {0, "Bat: 12 Temp: >", "N/A", "N/A", true},       // no number after the second
        {0, "Bat: nan Temp: 1>", "N/A", "N/A", true},     // not a reading
        {1, "Bat: 12.34 Temp: 20.0", "N/A", "N/A", true}, // time-out wins over content
    };
    for (const auto& c : cases) {
        journal.clear();
        view.volts = view.temp = "N/A";
        session.replies = {{"A", {c.result, c.reply}}};
        commands.checkBattery();
        EXPECT_EQ(view.volts, c.volts) << c.reply;
        EXPECT_EQ(view.temp, c.temp) << c.reply;
        EXPECT_EQ(journal.back() == "error Bad response from XRQ unit", c.error) << c.reply;
    }
}

TEST(OneDecimal, RoundsHalfAwayFromZeroOnTheDecimalDigits) {
    const std::pair<double, const char*> cases[] = {
        {12.34, "12.3"},   {-3.96, "-4.0"},        {12.25, "12.3"},
        {-12.25, "-12.3"}, {0.15, "0.2"},          {0.05, "0.1"},
        {0.04, "0.0"},     {-0.04, "0.0"},         {9.96, "10.0"},
        {0.0, "0.0"},      {123456.0, "123456.0"}, {1e20, "100000000000000000000.0"},
        {2.449999, "2.4"}, {-0.05, "-0.1"},        {1e-300, "0.0"},
    };
    for (const auto& [v, s] : cases)
        EXPECT_EQ(formatOneDecimal(v), s) << v;
}

TEST(BatteryReply, NumbersReadInTheCLocaleWhateverTheProcessLocale) {
    // A locale with a decimal comma must not cut "12.34" at the point.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    const bool german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    const auto r = parseBatteryReply("Bat: 12.34 Temp: -3.5e0");
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(r->volts, 12.34);
    EXPECT_DOUBLE_EQ(r->celsius, -3.5);
    if (!german)
        GTEST_SKIP() << "de_DE.UTF-8 not installed; checked in the C locale only";
}

using ClearMem = Fixture;

TEST_F(ClearMem, EveryStepMustBeAnswered) {
    const std::string q1 = "ask N This action is irreversible. Make sure you have saved all "
                           "your data!\nContinue?";
    const std::string q2 = "ask Y Abort clearing memory?";
    struct Case {
        const char* name;
        std::deque<bool> answers;
        std::map<std::string, std::pair<int, std::string>> replies;
        Journal expected;
    };
    const Case cases[] = {
        {"cleared",
         {true, false},
         {{"*", {1, ""}}, {"C", {1, ""}}, {"Y", {1, ""}}},
         {q1, q2, "send *", "send C", "send Y", "info XRQ Memory cleared"}},
        {"not continued", {false}, {}, {q1, "info Memory not cleared"}},
        {"aborted", {true, true}, {}, {q1, q2, "info Memory not cleared"}},
        {"no ~",
         {true, false},
         {{"*", {-1, ""}}},
         {q1, q2, "send *", "error Invalid response from XRQ unit", "info Memory not cleared"}},
        {"no ?",
         {true, false},
         {{"*", {1, ""}}, {"C", {-1, ""}}},
         {q1, q2, "send *", "send C", "error Invalid response from XRQ unit",
          "info Memory not cleared"}},
        // An unanswered confirmation is reported neither as success nor as failure.
        {"no > after Y",
         {true, false},
         {{"*", {1, ""}}, {"C", {1, ""}}, {"Y", {-1, ""}}},
         {q1, q2, "send *", "send C", "send Y",
          "error The XRQ unit did not confirm the clearing of its memory.\n"
          "Its memory may or may not have been cleared."}},
    };
    for (const auto& c : cases) {
        journal.clear();
        view.answers = c.answers;
        session.replies = c.replies;
        commands.clearMemory();
        EXPECT_EQ(journal, c.expected) << c.name;
    }
}

// The unit on the cable is asked who it is before anything of a clearing is sent: a unit
// that is not the downloaded one, that gives no serial number, or whose last download could
// not be told apart, brings the extra question.
TEST_F(ClearMem, TheSerialNumberIsReadAfreshAndAnotherUnitIsAskedAbout) {
    enum class Before { DownloadedA, DownloadedUnnamed };
    struct Case {
        const char* name;
        Before before;
        std::pair<int, std::string> r;
        bool asked;        // the extra question comes
        std::string about; // ... and holds this
        std::string shown; // the unit the record names afterwards
    };
    const Case cases[] = {
        {"the same unit", Before::DownloadedA, {0, "XRQ10472"}, false, "", "XRQ10472"},
        {"another unit on the cable",
         Before::DownloadedA,
         {0, "XRQ20001"},
         true,
         "XRQ20001 on No COM port has not been downloaded",
         "XRQ20001"},
        {"no serial number",
         Before::DownloadedA,
         {1, ""},
         true,
         "did not give its serial number",
         "XRQ10472"},
        {"the last download unnamed",
         Before::DownloadedUnnamed,
         {0, "XRQ10472"},
         true,
         "The last download came from an XRQ unit that did not give its serial number",
         "XRQ10472"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unit_status::UnitRecord units = downloadedUnit();
        if (c.before == Before::DownloadedUnnamed)
            units.downloadedUnidentified();
        commands.units = &units;
        journal.clear();
        view.answers = {false}; // No to the first question asked
        session.replies = {{"R", c.r}};
        commands.clearMemory();
        ASSERT_GE(journal.size(), 3u);
        EXPECT_EQ(journal[0], "wait");
        EXPECT_EQ(journal[1], "send R");
        const std::string& question = journal[3];
        if (c.asked) {
            EXPECT_NE(question.find(c.about), std::string::npos) << question;
            EXPECT_NE(question.find("Clear its memory anyway?"), std::string::npos);
        } else {
            EXPECT_NE(question.find("This action is irreversible"), std::string::npos) << question;
        }
        EXPECT_EQ(journal.back(), "info Memory not cleared");
        for (const auto& line : journal)
            EXPECT_EQ(line.rfind("send *", 0), std::string::npos) << "cleared against a No";
        ASSERT_TRUE(units.current());
        EXPECT_EQ(units.current()->serial, c.shown);
    }
    commands.units = nullptr;
}

// What the command set records, and under which unit: the one the serial-number read just
// before named, never an earlier one.
class WatchingRecorder : public UnitRecorder {
public:
    Journal events;
    void visited(const std::string& serial, int port, const std::string& device) override {
        events.push_back("visit " + serial + " " + std::to_string(port) + " " + device);
    }
    void clockSet(const std::string& serial, const std::string& sent) override {
        events.push_back("clock " + serial + " " + sent);
    }
    void batteryRead(const std::string& serial, double volts, double celsius,
                     const std::string& reply) override {
        events.push_back("battery " + serial + " " + formatOneDecimal(volts) + " " +
                         formatOneDecimal(celsius) + " " + reply);
    }
    void cleared(const std::string& serial, bool confirmed) override {
        events.push_back("clear " + serial + (confirmed ? " confirmed" : " unconfirmed"));
    }
    void identified(const std::string&, int) override {}
};

// What other laptops know of the unit joins the extra question, before its last line; it
// is asked only when the question is asked about a unit that named itself.
TEST_F(ClearMem, OtherLaptopsNoteJoinsTheExtraQuestionBeforeItsLastLine) {
    struct Case {
        const char* name;
        std::pair<int, std::string> r;
        const char* note;
        std::vector<std::string> asked; // the units the note was asked for
        std::string question;           // the first question's ending ("" : not the extra one)
    };
    const Case cases[] = {
        {"another unit, a note",
         {0, "XRQ20001"},
         "XRQ20001 was downloaded by laptop-b at 10:42, after this laptop's last download of it.",
         {"XRQ20001"},
         "its data would be lost.\nXRQ20001 was downloaded by laptop-b at 10:42, after this "
         "laptop's last download of it.\nClear its memory anyway?"},
        {"another unit, nothing to add",
         {0, "XRQ20001"},
         "",
         {"XRQ20001"},
         "its data would be lost.\nClear its memory anyway?"},
        {"no serial number: nothing to ask about", {1, ""}, "x", {}, "anyway?"},
        {"the downloaded unit: no extra question", {0, "XRQ10472"}, "x", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unit_status::UnitRecord units = downloadedUnit();
        commands.units = &units;
        journal.clear();
        view.notesAsked.clear();
        view.note = c.note;
        view.answers = {false};
        session.replies = {{"R", c.r}};
        commands.clearMemory();
        EXPECT_EQ(view.notesAsked, c.asked);
        ASSERT_GE(journal.size(), 4u);
        const std::string& question = journal[3];
        if (c.question.empty()) {
            EXPECT_NE(question.find("This action is irreversible"), std::string::npos) << question;
        } else {
            ASSERT_GE(question.size(), c.question.size());
            EXPECT_EQ(question.substr(question.size() - c.question.size()), c.question);
        }
    }
}

using Recording = Fixture;

TEST_F(Recording, EachEventGoesToTheRecorderUnderTheUnitReadJustBefore) {
    const std::map<std::string, std::pair<int, std::string>> clearing = {
        {"*", {1, ""}}, {"C", {1, ""}}, {"Y", {1, ""}}};
    struct Case {
        const char* name;
        std::function<void(InstrumentCommands&)> run;
        std::deque<bool> answers;
        std::map<std::string, std::pair<int, std::string>> replies;
        Journal expected;
    };
    const Case cases[] = {
        {"connect",
         [](InstrumentCommands& c) { c.connect(); },
         {},
         {{"R", {0, "XRQ20001"}}, {"!", {1, ""}}},
         {"visit XRQ20001 -1 "}},
        {"connect unanswered",
         [](InstrumentCommands& c) { c.connect(); },
         {},
         {{"R", {0, "XRQ20001"}}, {"!", {-1, ""}}},
         {}},
        {"clock",
         [](InstrumentCommands& c) { c.setClock(); },
         {true},
         {{"S", {1, ""}}},
         {"clock XRQ10472 26-03-21 07:05:09"}},
        {"battery",
         [](InstrumentCommands& c) { c.checkBattery(); },
         {},
         {{"A", {0, "B:12.61 T:21.44"}}},
         {"battery XRQ10472 12.6 21.4 B:12.61 T:21.44"}},
        {"bad battery reply",
         [](InstrumentCommands& c) { c.checkBattery(); },
         {},
         {{"A", {0, "nonsense"}}},
         {}},
        {"clear, the same unit answers",
         [](InstrumentCommands& c) { c.clearMemory(); },
         {true, false},
         {},
         {"clear XRQ10472 confirmed"}},
        {"clear, another unit answers",
         [](InstrumentCommands& c) { c.clearMemory(); },
         {true, true, false},
         {},
         {"clear XRQ20001 confirmed"}},
        // The unit known before may not be on the cable: the clearing is nobody's known.
        {"clear, no serial number",
         [](InstrumentCommands& c) { c.clearMemory(); },
         {true, true, false},
         {},
         {"clear  confirmed"}},
        {"clear, not agreed", [](InstrumentCommands& c) { c.clearMemory(); }, {false}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unit_status::UnitRecord units = downloadedUnit();
        WatchingRecorder recorder;
        InstrumentCommands fresh{session, view};
        fresh.clockText = [] { return std::string("26-03-21 07:05:09"); };
        fresh.units = &units;
        fresh.recorder = &recorder;
        view.answers = c.answers;
        session.replies = c.replies;
        if (std::string(c.name).rfind("clear", 0) == 0) {
            session.replies = clearing;
            const std::string name = c.name;
            session.replies["R"] = name.find("another") != std::string::npos
                                       ? std::pair<int, std::string>{0, "XRQ20001"}
                                   : name.find("no serial") != std::string::npos
                                       ? std::pair<int, std::string>{1, ""}
                                       : std::pair<int, std::string>{0, "XRQ10472"};
        }
        c.run(fresh);
        EXPECT_EQ(recorder.events, c.expected);
    }
}

TEST_F(Recording, WithoutARecorderNothingIsRecordedAndNothingBreaks) {
    session.replies = {{"R", {0, "XRQ20001"}}, {"!", {1, ""}}, {"A", {0, "B:1 T:2"}}};
    unit_status::UnitRecord units;
    commands.units = &units;
    commands.connect();
    commands.checkBattery();
    EXPECT_EQ(view.volts, "1.0 V");
    commands.units = nullptr;
}

// xrq-collect --clear: no questions, the serial number read afresh, and nothing of the clear
// sent unless it is the downloaded unit.
TEST_F(ClearMem, AfterADownloadOnlyTheDownloadedUnitIsCleared) {
    struct Case {
        const char* name;
        std::map<std::string, std::pair<int, std::string>> replies;
        bool sent, cleared;
        std::string why;
    };
    const std::pair<int, std::string> same{0, "XRQ10472"};
    const Case cases[] = {
        {"cleared", {{"R", same}, {"*", {1, ""}}, {"C", {1, ""}}, {"Y", {1, ""}}}, true, true, ""},
        {"another unit", {{"R", {0, "XRQ20001"}}}, false, false, "is not the one downloaded"},
        {"no serial number", {{"R", {1, ""}}}, false, false, "gave no serial number"},
        {"no ~", {{"R", same}, {"*", {-1, ""}}}, false, false, "nothing was cleared"},
        {"no > after Y",
         {{"R", same}, {"*", {1, ""}}, {"C", {1, ""}}, {"Y", {-1, ""}}},
         true,
         false,
         "may or may not have been cleared"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unit_status::UnitRecord units = downloadedUnit();
        WatchingRecorder recorder;
        commands.units = &units;
        commands.recorder = &recorder;
        journal.clear();
        session.replies = c.replies;
        const auto done = commands.clearAfterDownload("XRQ10472");
        EXPECT_EQ(done.sent, c.sent);
        EXPECT_EQ(done.cleared, c.cleared);
        EXPECT_NE(done.why.find(c.why), std::string::npos) << done.why;
        for (const auto& line : journal)
            EXPECT_EQ(line.rfind("ask", 0), std::string::npos) << "asked: " << line;
        const auto firstSent = std::find_if(journal.begin(), journal.end(),
                                            [](const auto& l) { return l.rfind("send ", 0) == 0; });
        ASSERT_NE(firstSent, journal.end());
        EXPECT_EQ(*firstSent, "send R");
        const bool starSent = std::find(journal.begin(), journal.end(), "send *") != journal.end();
        EXPECT_EQ(starSent, c.replies.count("*") > 0);
        // Recorded as the window's clear is, under the downloaded unit, once "Y" went out.
        const Journal recorded = c.sent ? Journal{std::string("clear XRQ10472 ") +
                                                  (c.cleared ? "confirmed" : "unconfirmed")}
                                        : Journal{};
        EXPECT_EQ(recorder.events, recorded);
    }
    commands.units = nullptr;
    commands.recorder = nullptr;
}

} // namespace

TEST(BatteryReply, LineNoiseWithNulBytesBeforeTheReplyDoesNotSpoilIt) {
    using namespace std::string_literals;
    const std::string stored = "\0\xff\x01zz\r\nBat: 12.61 V  Temp: 21.4 C\r\n>"s;
    // As the battery command hands it over: the stored bytes in a zero-filled buffer.
    std::string buffer = stored + std::string(64, '\0');
    const auto r = parseBatteryReply(std::string_view(buffer));
    ASSERT_TRUE(r.has_value());
    EXPECT_DOUBLE_EQ(r->volts, 12.61);
    EXPECT_DOUBLE_EQ(r->celsius, 21.4);
    EXPECT_FALSE(parseBatteryReply(stored.c_str()).has_value()) << "a C string ends at the NUL";
    EXPECT_FALSE(parseBatteryReply(std::string_view("\0\0\0\0"s)).has_value());
}
