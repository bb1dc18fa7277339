// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/guide_location.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

void put(const QString& path) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
}

// Installed (prefix/bin beside prefix/share/doc/xrq), a build tree laid out the same way, a
// guide beside the program, the system folder as the last resort, HTML over Markdown in one
// folder, the nearest folder over a better format further away, and nothing at all.
TEST(GuideLocation, FindsTheNearestGuideFolderByFolder) {
    struct Case {
        const char* what;
        std::vector<const char*> files; // relative to the temporary root
        const char* programDir;
        const char* expected; // relative to the root; "" for none
    };
    const Case cases[] = {
        {"installed", {"usr/share/doc/xrq/guide.html"}, "usr/bin", "usr/share/doc/xrq/guide.html"},
        {"build tree, trailing slash",
         {"build/share/doc/xrq/guide.html"},
         "build/bin/",
         "build/share/doc/xrq/guide.html"},
        {"html over md",
         {"p/share/doc/xrq/guide.md", "p/share/doc/xrq/guide.html"},
         "p/bin",
         "p/share/doc/xrq/guide.html"},
        {"md when no html", {"p/share/doc/xrq/guide.md"}, "p/bin", "p/share/doc/xrq/guide.md"},
        {"beside the program", {"opt/xrq/guide.html"}, "opt/xrq", "opt/xrq/guide.html"},
        {"nearest wins over format",
         {"p/share/doc/xrq/guide.md", "sys/guide.html"},
         "p/bin",
         "p/share/doc/xrq/guide.md"},
        {"system fallback", {"sys/guide.html"}, "p/bin", "sys/guide.html"},
        {"a folder named like the guide is no guide",
         {"p/share/doc/xrq/guide.html/x"},
         "p/bin",
         ""},
        {"none", {}, "p/bin", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir tmp;
        ASSERT_TRUE(tmp.isValid());
        const QString root = tmp.path() + "/";
        for (const char* f : c.files)
            put(root + f);
        const QString found = guideLocation(root + c.programDir, {root + "sys"});
        EXPECT_EQ(found, *c.expected ? QDir::cleanPath(root + c.expected) : QString());
    }
}

TEST(GuideLocation, FoldersAreCleanAndListedOnce) {
    EXPECT_EQ(guideFolders("/usr/bin/", {"/usr/share/doc/xrq", "/usr/bin"}),
              (QStringList{"/usr/share/doc/xrq", "/usr/bin"}));
    EXPECT_EQ(guideFolders("", {"/usr/share/doc/xrq"}), QStringList{"/usr/share/doc/xrq"});
}

} // namespace
