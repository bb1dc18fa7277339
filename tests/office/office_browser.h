// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The office's pages in a real browser, for any of the office's fixtures: xrq-office started
// as its own process on a free port, Debian's chromium headless on a page, dumping its DOM
// once the page's script has drawn, or taking a screenshot (to the test's folder, or to
// XRQ_OFFICE_SCREENSHOTS when set: the docs/ pictures are made so).
#include "office_fixture.h"

#include "support/child_process.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

namespace officetest {

inline std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// xrq-office as its own process over the fixture `Base`'s server, and Debian's chromium
// headless on its pages.
template <class Base> class BrowserTest : public Base {
protected:
    void SetUp() override {
        Base::SetUp();
        if (::testing::Test::HasFatalFailure())
            return;
        ASSERT_TRUE(work.isValid());
        service = std::make_unique<testsupport::ChildProcess>(
            std::string(XRQ_BIN_DIR) + "/xrq-office",
            std::vector<std::string>{"--service", "office_viewer", "--listen", "127.0.0.1:0"});
        ASSERT_TRUE(service->started());
        ASSERT_TRUE(service->waitForError("serving http://127.0.0.1:", 30s))
            << service->errorOutput();
        ASSERT_TRUE(service->waitForError("/ from service", 10s)) << service->errorOutput();
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)/"))
                .match(QString::fromStdString(service->errorOutput()));
        ASSERT_TRUE(m.hasMatch());
        base = QStringLiteral("http://127.0.0.1:%1").arg(m.captured(1));
    }

    // chromium, headless, on `url`; `args` say what to make (--dump-dom, --screenshot=...).
    // The virtual time budget lets the page's fetches and drawing finish before it ends.
    std::string chromium(const QString& url, std::vector<std::string> args,
                         const std::string& size = "1366,768") {
        const std::string out = work.path().toStdString() + "/chromium-out.html";
        std::vector<std::string> all = {
            "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
            // Fatal messages only: its error channel is read once it has ended.
            "--log-level=3", "--hide-scrollbars",
            "--user-data-dir=" + work.path().toStdString() + "/profile", "--window-size=" + size,
            "--virtual-time-budget=20000"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(url.toStdString());
        const QString program = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        EXPECT_FALSE(program.isEmpty()) << "chromium is not installed (Debian's chromium)";
        testsupport::ChildProcess browser(program.toStdString(), all, out);
        EXPECT_TRUE(browser.started());
        EXPECT_TRUE(browser.waitForExit(120s)) << browser.errorOutput();
        QFile f(QString::fromStdString(out));
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
    }

    std::string shot(const QString& url, const std::string& name, const std::string& size) {
        const QByteArray dir = qgetenv("XRQ_OFFICE_SCREENSHOTS");
        const std::string path =
            (dir.isEmpty() ? work.path().toStdString() : dir.toStdString()) + "/" + name;
        chromium(url, {"--screenshot=" + path}, size);
        return path;
    }

    static void expectPng(const std::string& path) {
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << path;
        EXPECT_TRUE(f.read(8).startsWith("\x89PNG"));
        EXPECT_GT(f.size(), 10000) << path; // a drawn page, not an empty one
    }

    QTemporaryDir work;
    std::unique_ptr<testsupport::ChildProcess> service;
    QString base;
};

} // namespace officetest
