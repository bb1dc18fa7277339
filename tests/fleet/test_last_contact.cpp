// SPDX-License-Identifier: GPL-3.0-or-later
// When the server last answered, kept in the files folder across runs: read back for its own
// service only, never half written, and the time of before kept when the disk fails.
#include "fleet/last_contact.h"
#include "platform/durable_file.h"
#include "support/result_assert.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class LastContactFile : public ::testing::Test {
protected:
    std::string folder() const { return dir.path().toStdString() + "/"; }
    std::string path() const { return folder() + fleet::kLastContactFileName; }
    void plant(const std::string& text) {
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << text;
    }
    QTemporaryDir dir;
};

TEST_F(LastContactFile, ReadsBackWhatWasKeptForItsOwnServiceOnly) {
    EXPECT_FALSE(fleet::readLastContact(folder(), "office").has_value()) << "nothing kept yet";
    ASSERT_TRUE(done(fleet::writeLastContact(folder(), "office", 1765188000123)));
    EXPECT_EQ(fleet::readLastContact(folder(), "office"), 1765188000123);
    EXPECT_FALSE(fleet::readLastContact(folder(), "other-office").has_value())
        << "another server's answer says nothing of this one";
    ASSERT_TRUE(done(fleet::writeLastContact(folder(), "office", 1765188999000)));
    EXPECT_EQ(fleet::readLastContact(folder(), "office"), 1765188999000);
    struct stat st {};
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(::access((path() + ".new").c_str(), F_OK), 0) << "no temporary file left";
}

TEST_F(LastContactFile, ADamagedFileReadsAsNone) {
    const char* damaged[] = {
        "",                                 // empty
        "office\t1765188000123",            // cut before its line end
        "office\t17651880x0123\n",          // not a number
        "office\t-5\n",                     // not a time
        "office 1765188000123\n",           // no tab
        "office\t1765188000123\nmore\n",    // more than the line
        "office\t99999999999999999999999\n" // out of range
    };
    for (const char* text : damaged) {
        SCOPED_TRACE(text);
        plant(text);
        EXPECT_FALSE(fleet::readLastContact(folder(), "office").has_value());
    }
    plant(std::string(100000, 'x'));
    EXPECT_FALSE(fleet::readLastContact(folder(), "office").has_value());
    // A link planted under the name is not followed.
    ASSERT_EQ(::unlink(path().c_str()), 0);
    const std::string elsewhere = folder() + "elsewhere";
    std::ofstream(elsewhere) << "office\t1765188000123\n";
    ASSERT_EQ(::symlink(elsewhere.c_str(), path().c_str()), 0);
    EXPECT_FALSE(fleet::readLastContact(folder(), "office").has_value());
}

class FailingSync : public platform::DurabilityProbe {
public:
    int before(Call call, int, const std::string&, const std::string&) override {
        return call == Call::SyncFile ? EIO : 0;
    }
};

TEST_F(LastContactFile, ADiskErrorKeepsTheTimeOfBeforeAndSaysWhy) {
    ASSERT_TRUE(done(fleet::writeLastContact(folder(), "office", 1765188000123)));
    FailingSync failing;
    platform::setDurabilityProbe(&failing);
    const auto written = fleet::writeLastContact(folder(), "office", 1765188999000);
    platform::setDurabilityProbe(nullptr);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.kind(), platform::ErrorKind::Io) << "told as the disk's failure";
    EXPECT_NE(written.text().find("cannot write"), std::string::npos) << written.text();
    EXPECT_EQ(fleet::readLastContact(folder(), "office"), 1765188000123);
    EXPECT_NE(::access((path() + ".new").c_str(), F_OK), 0) << "no temporary file left";
}

} // namespace
