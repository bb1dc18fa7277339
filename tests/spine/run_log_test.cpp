// SPDX-License-Identifier: GPL-3.0-or-later
// The run log: line format and cleaning, the file on disk, trimming and its failure paths.
#include "dialogs/run_log.h"
#include "spine_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>

namespace {

// "yy/mm/dd HH:MM:SS": 17 characters, digits where the pattern has '9'.
bool isStamp(const std::string& text) {
    const std::string pattern = "99/99/99 99:99:99";
    if (text.size() < pattern.size())
        return false;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                              : text[i] != pattern[i])
            return false;
    return true;
}

// Fixed time zone for exact time stamps; restored afterwards.
class UtcZone {
public:
    UtcZone() {
        const char* tz = std::getenv("TZ");
        m_had = tz != nullptr;
        if (tz)
            m_saved = tz;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcZone() {
        if (m_had)
            setenv("TZ", m_saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had = false;
    std::string m_saved;
};

// 2026-12-06 07:00:01 UTC
constexpr std::time_t kWhen = 1796540401;

} // namespace

TEST(RunLogFormat, LineFieldsAndNumberWidths) {
    UtcZone utc;
    struct Case {
        unsigned line;
        std::string message;
        std::string expected;
    };
    const Case cases[] = {
        {118, "***** Program Start *****", "26/12/06 07:00:01 (:00118) ***** Program Start *****"},
        {7, "x", "26/12/06 07:00:01 (:00007) x"},
        {0, "x", "26/12/06 07:00:01 (:00000) x"},
        {123456, "x", "26/12/06 07:00:01 (:123456) x"},
        {4294967295u, "x", "26/12/06 07:00:01 (:4294967295) x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runlog::formatLine(kWhen, c.line, c.message), c.expected) << c.line;
}

TEST(RunLogFormat, CleaningKeepsEachEventOnOneLine) {
    UtcZone utc;
    const std::string head = "26/12/06 07:00:01 (:00303)";
    struct Case {
        std::string message, tail;
    };
    const Case cases[] = {
        {"", ""}, // the space of ") " goes too
        {"Answer YES\r\n", " Answer YES"},
        {"first\r\nsecond", " first  second"},
        {"a\rb\nc", " a b c"},
        {"\r\n\t  padded  \t\r\n", "   \t  padded"}, // only the line's own ends are stripped
        {std::string("tab\tinside\x01kept"), std::string(" tab\tinside\x01kept")},
        {"caf\xE9", " caf\xE9"},   // Latin-1 bytes above 127 are not blanks
        {"\xA0\xFF", " \xA0\xFF"}, // not even at the end
        {std::string("nul\0end", 7), std::string(" nul\0end", 8)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runlog::formatLine(kWhen, 303, c.message), head + c.tail)
            << "message: " << c.message;
}

TEST_F(TempLogTest, LinesAreAppendedWithCrLfAndTheFileIsCreated) {
    ASSERT_FALSE(QFile::exists(QString::fromStdString(LogFilePath)));
    LogWrite("***** Program Start *****", 118, LogSizeLimit);
    LogWrite("two\nlines", 120, LogSizeLimit);
    LogWrite("", 122, LogSizeLimit);
    const auto lines = crlfLines(log());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(isStamp(lines[0])) << lines[0];
    EXPECT_EQ(lines[0].substr(17), " (:00118) ***** Program Start *****");
    EXPECT_EQ(lines[1].substr(17), " (:00120) two lines");
    EXPECT_EQ(lines[2].substr(17), " (:00122)");
}

TEST_F(TempLogTest, UnwritablePlacesLoseTheLineQuietly) {
    // No path yet: nothing happens anywhere.
    LogFilePath.clear();
    LogWrite("lost", 1, LogSizeLimit);
    EXPECT_TRUE(QDir(QString::fromStdString(folder)).isEmpty());

    // Missing folder: not created.
    LogFilePath = folder + "missing/XRQ_log.txt";
    LogWrite("lost", 1, LogSizeLimit);
    EXPECT_FALSE(QDir(QString::fromStdString(folder + "missing")).exists());

    // A log that cannot be opened for appending (the name is taken by a folder; as root,
    // permission bits would not stop the write).
    LogFilePath = folder + "XRQ_log.txt";
    ASSERT_TRUE(QDir(QString::fromStdString(folder)).mkdir("XRQ_log.txt"));
    LogWrite("lost", 1, LogSizeLimit);
    EXPECT_TRUE(QFileInfo(QString::fromStdString(LogFilePath)).isDir());
}

namespace {

// A log of whole lines "line NNNN" + CR LF, `bytes` long in total (the first line is padded).
std::string logOfSize(std::size_t bytes) {
    std::string body;
    for (int i = 0; body.size() < bytes; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line %06d\r\n", i);
        body += line;
    }
    return body.substr(body.size() - bytes); // cut from the front: first line partial
}

} // namespace

TEST_F(TempLogTest, TrimsOnlyAboveTheLimitAndKeepsWholeNewestLines) {
    const std::int32_t limit = 200000;
    // Exactly at the limit: appended to, not trimmed.
    writeBytes(LogFilePath, logOfSize(limit));
    LogWrite("at limit", 1, limit);
    std::string bytes = log();
    EXPECT_EQ(bytes.size(),
              limit + runlog::formatLine(std::time(nullptr), 1, "at limit").size() + 2);

    // Now above the limit: the next write trims.
    const std::string before = bytes;
    LogWrite("after trim", 2, limit);
    bytes = log();
    const auto lines = crlfLines(bytes);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().substr(17), " (:00002) after trim");
    // Everything before the new line is the tail of the old file, starting at a line start.
    const std::string kept = bytes.substr(0, bytes.size() - lines.back().size() - 2);
    EXPECT_LE(kept.size(), static_cast<std::size_t>(limit));
    EXPECT_GT(kept.size(), static_cast<std::size_t>(limit) - 40);
    EXPECT_EQ(before.substr(before.size() - kept.size()), kept);
    EXPECT_EQ(before[before.size() - kept.size() - 1], '\n');
    EXPECT_EQ(kept.rfind("line ", 0), 0u);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(runlog::trimFilePath(LogFilePath))));
}

TEST_F(TempLogTest, OneByteOverTheLimitTrimsTheOldestLine) {
    const std::string old = "0123456789\r\nabcdefghi\r\n"; // 23 bytes
    writeBytes(LogFilePath, old);
    LogWrite("new", 9, 22);
    const auto lines = crlfLines(log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "abcdefghi");
    EXPECT_EQ(lines[1].substr(17), " (:00009) new");
}

TEST_F(TempLogTest, NoLineFeedInTheNewestBytesStartsAfresh) {
    // Without a line feed there is no whole line to keep; the log must not stay stuck.
    writeBytes(LogFilePath, "\r\n" + std::string(300, 'x'));
    LogWrite("fresh", 3, 100);
    auto lines = crlfLines(log());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(17), " (:00003) fresh");
    LogWrite("next", 4, 100);
    EXPECT_EQ(crlfLines(log()).size(), 2u);
}

TEST_F(TempLogTest, TrimKeepsTheFileModeAndNeverLosesTheLogOnFailure) {
    writeBytes(LogFilePath, logOfSize(500));
    ASSERT_EQ(chmod(LogFilePath.c_str(), 0640), 0);
    LogWrite("trimmed", 5, 200);
    struct stat st {};
    ASSERT_EQ(stat(LogFilePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // The trimming file cannot be created: the log stays exactly as it was.
    const std::string big = logOfSize(500);
    writeBytes(LogFilePath, big);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(runlog::trimFilePath(LogFilePath))));
    LogWrite("dropped", 6, 200);
    EXPECT_EQ(log(), big);
}

TEST_F(TempLogTest, NegativeLimitNeverTrims) {
    writeBytes(LogFilePath, "old\r\n");
    LogWrite("kept", 1, -1);
    EXPECT_EQ(crlfLines(log()).size(), 2u);
}

// Something planted under the log's or the trimming file's fixed name (a link to another
// file, a dangling link, a FIFO) is never written through, never waited on and never given
// the log's mode; the line is lost quietly.
TEST_F(TempLogTest, PlantedLinksAndFifosAreNeverWrittenThrough) {
    const std::string victim = folder + "victim.txt";
    const std::string trimPath = runlog::trimFilePath(LogFilePath);
    enum class Plant { Link, Dangling, Fifo };
    for (const Plant plant : {Plant::Link, Plant::Dangling, Plant::Fifo}) {
        for (const bool atTrimFile : {false, true}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(plant)) + (atTrimFile ? " trim" : " log"));
            std::remove(LogFilePath.c_str());
            std::remove(trimPath.c_str());
            std::remove(victim.c_str());
            const std::string at = atTrimFile ? trimPath : LogFilePath;
            if (plant != Plant::Dangling) {
                writeBytes(victim, "someone else's\r\n");
                ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
            }
            if (plant == Plant::Fifo)
                ASSERT_EQ(::mkfifo(at.c_str(), 0666), 0);
            else
                ASSERT_EQ(::symlink(victim.c_str(), at.c_str()), 0);
            if (atTrimFile) {
                writeBytes(LogFilePath, logOfSize(500));
                ASSERT_EQ(::chmod(LogFilePath.c_str(), 0644), 0);
            }

            LogWrite("one", 1, 200);
            LogWrite("two", 2, 200);

            struct stat st {};
            if (plant == Plant::Dangling) {
                EXPECT_NE(::stat(victim.c_str(), &st), 0) << "created through the link";
            } else if (plant == Plant::Link) {
                EXPECT_EQ(readBytes(victim), "someone else's\r\n");
                ASSERT_EQ(::stat(victim.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 07777, 0600u);
            }
            if (atTrimFile) {
                // The log itself is trimmed through a fresh file of our own.
                const auto lines = crlfLines(log());
                ASSERT_FALSE(lines.empty());
                EXPECT_NE(lines.back().find("two"), std::string::npos);
                ASSERT_EQ(::stat(LogFilePath.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 07777, 0644u);
            } else {
                ASSERT_EQ(::lstat(LogFilePath.c_str(), &st), 0);
                EXPECT_FALSE(S_ISREG(st.st_mode)); // the plant stays; nothing replaced it
            }
        }
    }
    std::remove(LogFilePath.c_str());
}

// The log is appended only when it is the user's own regular file: one another user owns
// (planted in a shared folder, or handed over) is neither written nor trimmed, and a FIFO
// that someone reads is neither waited on nor written into. Owning a file as another user
// takes root; the ordinary run checks the FIFO.
class RunLogOwnerAlsoAsRoot : public TempLogTest {};

TEST_F(RunLogOwnerAlsoAsRoot, OnlyTheUsersOwnRegularFileIsAppended) {
    // A FIFO with a reader at the other end: the open does not block, nothing goes in.
    ASSERT_EQ(::mkfifo(LogFilePath.c_str(), 0600), 0);
    const int reader = ::open(LogFilePath.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    LogWrite("into the pipe?", 1, 200);
    char buffer[64];
    EXPECT_LE(::read(reader, buffer, sizeof buffer), 0);
    ::close(reader);
    ::unlink(LogFilePath.c_str());

    if (::geteuid() != 0) {
        std::printf("[ SKIPPED  ] a log another user owns: only root can make one; the root run "
                    "covers it\n");
        return;
    }
    for (const bool overLimit : {false, true}) {
        SCOPED_TRACE(overLimit ? "over the limit" : "under it");
        const std::string theirs = overLimit ? logOfSize(500) : std::string("theirs\r\n");
        writeBytes(LogFilePath, theirs);
        ASSERT_EQ(::chown(LogFilePath.c_str(), 65534, 65534), 0);
        LogWrite("ours", 2, 200);
        EXPECT_EQ(log(), theirs);
        struct stat st {};
        ASSERT_EQ(::stat(LogFilePath.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_FALSE(QFile::exists(QString::fromStdString(runlog::trimFilePath(LogFilePath))));
        ::unlink(LogFilePath.c_str());
    }
    // Ours again: appended as usual.
    LogWrite("ours", 3, 200);
    EXPECT_NE(log().find("ours"), std::string::npos);
}
