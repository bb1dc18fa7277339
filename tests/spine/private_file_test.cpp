// SPDX-License-Identifier: GPL-3.0-or-later
// Files the program writes in folders others may share: a file planted there by someone else,
// or one they may still write, is never used; the settings file takes this user's own mode.
#include "platform/fixed_name_file.h"
#include "platform/ini_file.h"
#include "spine_fixture.h"
#include "support/planted_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class PrivateFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.path().toStdString() + "/_$XRQInt.txt";
    }
    QTemporaryDir dir;
    std::string path;
};

TEST_F(PrivateFile, OnlyARegularFileOfOurOwnThatNobodyElseMayWriteIsUsedAndNothingElseIsEmptied) {
    enum class Plant { Nothing, Own0644, Own0666, Own0620, Foreign0644, Fifo, Link, HardLink };
    struct Case {
        const char* what;
        Plant plant;
        bool needsRoot; // making a file another user owns
        int err;        // 0: accepted
    };
    const Case cases[] = {
        {"no file yet", Plant::Nothing, false, 0},
        {"our own file, mode 0644", Plant::Own0644, false, 0},
        {"our own file that everyone may write", Plant::Own0666, false, EPERM},
        {"our own file that the group may write", Plant::Own0620, false, EPERM},
        {"a file another user owns", Plant::Foreign0644, true, EPERM},
        {"a FIFO", Plant::Fifo, false, EINVAL},
        {"a symbolic link to our own file", Plant::Link, false, ELOOP},
        {"a second name of another file", Plant::HardLink, false, EINVAL},
    };
    const std::string other = dir.path().toStdString() + "/other.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.c_str());
        ::unlink(other.c_str());
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("[ SKIPPED  ] %s: only root can plant it here; the root run covers it\n",
                        c.what);
            continue;
        }
        const std::string planted = "kept bytes";
        writeBytes(other, planted);
        using testsupport::plant;
        bool placed = true;
        switch (c.plant) {
        case Plant::Nothing:
            break;
        case Plant::Own0644:
        case Plant::Own0666:
        case Plant::Own0620:
            placed = plant(path, testsupport::Plant::OwnFile, planted,
                           c.plant == Plant::Own0666   ? 0666
                           : c.plant == Plant::Own0620 ? 0620
                                                       : 0644);
            break;
        case Plant::Foreign0644:
            placed = plant(path, testsupport::Plant::ForeignFile, planted, 0644);
            break;
        case Plant::Fifo:
            placed = plant(path, testsupport::Plant::Fifo);
            break;
        case Plant::Link:
            placed = plant(path, testsupport::Plant::Link, {}, 0, other);
            break;
        case Plant::HardLink:
            placed = plant(path, testsupport::Plant::HardLink, {}, 0, other);
            break;
        }
        ASSERT_TRUE(placed);
        platform::ForeignFile foreign;
        errno = 0;
        const int fd = platform::openPrivateFixedNameForWriting(path, platform::FixedOpen::Truncate,
                                                                0644, &foreign);
        const int err = fd < 0 ? errno : 0;
        if (fd >= 0)
            ::close(fd);
        EXPECT_EQ(err, c.err);
        if (c.err == 0) {
            EXPECT_EQ(readBytes(path), "");
            EXPECT_EQ(modeOf(path) & 022, 0u);
        } else if (c.plant != Plant::Fifo) {
            EXPECT_EQ(readBytes(path), planted) << "a refused file was emptied";
        }
        EXPECT_EQ(readBytes(other), planted) << "written through a link";
        if (c.err == EPERM) {
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_EQ(foreign.owner, st.st_uid);
            EXPECT_EQ(foreign.mode, st.st_mode & 07777);
        }
    }
}

TEST_F(PrivateFile, TheSettingsFileIsSavedWithThisUsersModeNotTheOneItHad) {
    const std::string ini = dir.path().toStdString() + "/XRQ.ini";
    writeBytes(ini, "[Serial]\r\nPort=3\r\n");
    ASSERT_EQ(::chmod(ini.c_str(), 0666), 0);
    platform::IniFile file(ini);
    ASSERT_TRUE(file.WriteString("Data", "Directory", "/tmp/x/"));
    EXPECT_EQ(modeOf(ini), 0666 & ~currentUmask());
    EXPECT_EQ(file.ReadInteger("Serial", "Port", 0), 3);
}

} // namespace
