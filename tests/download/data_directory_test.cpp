// SPDX-License-Identifier: GPL-3.0-or-later
// The data directory as typed in Setup: a folder is a folder, with or without its final "/";
// a last part that names no folder is a prefix of the file names, and the texts say so.
#include "download/data_directory.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace {

TEST(DataDirectory, ATypedTextIsTheFolderItNamesOrAPrefixOfTheFileNames) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const std::string root = tmp.path().toStdString();
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + "/Field/typed")));
    ASSERT_EQ(::symlink((root + "/Field/typed").c_str(), (root + "/Field/linked").c_str()), 0);
    std::ofstream(root + "/Field/plain") << "a file, not a folder";

    struct Case {
        std::string typed, prefix, folder, namePrefix;
        bool slashAdded;
    };
    const Case cases[] = {
        {root + "/Field/typed/", root + "/Field/typed/", root + "/Field/typed/", "", false},
        {root + "/Field/typed", root + "/Field/typed/", root + "/Field/typed/", "", true},
        {root + "/Field/linked", root + "/Field/linked/", root + "/Field/linked/", "", true},
        {root + "/Field/site", root + "/Field/site", root + "/Field/", "site", false},
        {root + "/Field/plain", root + "/Field/plain", root + "/Field/", "plain", false},
        {root + "/Gone/site", root + "/Gone/site", root + "/Gone/", "site", false},
        {"", "", "", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const auto t = download::resolveDataDirectory(c.typed);
        EXPECT_EQ(t.prefix, c.prefix);
        EXPECT_EQ(t.folder, c.folder);
        EXPECT_EQ(t.namePrefix, c.namePrefix);
        EXPECT_EQ(t.slashAdded, c.slashAdded);
        EXPECT_EQ(download::prefixNote(t).empty(), c.namePrefix.empty());
        EXPECT_EQ(download::folderTakenLine(t).empty(), !c.slashAdded);
    }
    EXPECT_EQ(download::prefixNote(download::resolveDataDirectory(root + "/Field/site")),
              "files will be named siteNAME.txt in " + root + "/Field/");
    EXPECT_EQ(download::folderTakenLine(download::resolveDataDirectory(root + "/Field/typed")),
              "Data directory " + root + "/Field/typed is a folder: the data files go into " +
                  root + "/Field/typed/");
}

TEST(DataDirectory, TheClosingMessageNamesAFolderThatExistsAndForAPrefixTheFiles) {
    download::DataTarget folder;
    folder.typed = folder.prefix = folder.folder = "/d/Field/";
    download::DataTarget prefix;
    prefix.typed = prefix.prefix = "/d/Field/typed";
    prefix.folder = "/d/Field/";
    prefix.namePrefix = "typed";
    auto files = [](int n) {
        std::vector<std::string> out;
        for (int i = 0; i < n; ++i)
            out.push_back("/d/Field/typedS" + std::to_string(i) + ".txt");
        return out;
    };
    struct Case {
        const download::DataTarget& target;
        int files;
        std::string text;
    };
    const Case cases[] = {
        {folder, 2, "Data collected and placed in /d/Field/"},
        {prefix, 0, "Data collected and placed in /d/Field/"},
        {prefix, 2, "Data collected and placed in /d/Field/ as typedS0.txt, typedS1.txt"},
        {prefix, 6,
         "Data collected and placed in /d/Field/ as typedS0.txt, typedS1.txt, typedS2.txt, "
         "typedS3.txt, ... (6 files)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(download::collectedText(c.target, files(c.files)), c.text);
}

} // namespace
