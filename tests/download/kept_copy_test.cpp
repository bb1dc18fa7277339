// SPDX-License-Identifier: GPL-3.0-or-later
// The kept copy of a download counts only when it reads back as what was received.
#include "download/capture_sink.h"
#include "support/result_assert.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

TEST(KeptCopy, OneThatReadsBackOtherwiseIsNamedAsFailed) {
    const struct {
        const char* what;
        const char* meddle; // appended to the kept copy behind the sink's back
    } cases[] = {{"untouched", ""}, {"a byte more", "x"}};
    for (const auto& c : cases) {
        QTemporaryDir tmp;
        ASSERT_TRUE(tmp.isValid());
        const std::string root = tmp.path().toStdString() + "/";
        const int fd = ::open((root + "int.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        download::CaptureSink sink;
        sink.attachIntermediate(fd, root + "int.txt");
        ASSERT_TRUE(done(sink.createKept(root + "kept/")));
        ASSERT_TRUE(sink.write("Name: A\r\n1,2\r\n>"));
        if (*c.meddle) {
            const int other = ::open(sink.keptPath().c_str(), O_WRONLY | O_APPEND);
            ASSERT_GE(other, 0);
            ASSERT_EQ(::write(other, c.meddle, 1), 1);
            ::close(other);
        }
        const bool whole = !*c.meddle;
        EXPECT_EQ(sink.finish(), whole) << c.what;
        EXPECT_EQ(sink.keptWhole(), whole) << c.what;
        const std::string failure = whole ? std::string()
                                          : "The kept download " + sink.keptPath() +
                                                " read back differs from what was received";
        EXPECT_EQ(sink.keptFailure(), failure) << c.what;
    }
}
