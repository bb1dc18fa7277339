// SPDX-License-Identifier: GPL-3.0-or-later
// The storage kit on its own: a store is made and its schema brought up step by step, in one
// transaction; a newer program's store, a file that is no store, a link and a missing file are
// refused and left as they were; another program's lock is waited for, then told as Busy; and
// a folder that cannot be synced is told, not passed over.
#include "platform/durable_file.h"
#include "storage/sqlite_store.h"
#include "support/read_file.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using platform::ErrorKind;
using testsupport::readFile;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A raw SQLite connection of its own, as another program would hold the file.
class OtherProgram {
public:
    explicit OtherProgram(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    ~OtherProgram() { sqlite3_close(m_db); }
    bool exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == 0; }

private:
    sqlite3* m_db = nullptr;
};

class StorageKit : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        folder = tmp.path().toStdString() + "/";
        path = folder + "store.sqlite";
    }
    void TearDown() override { ::chmod(folder.c_str(), 0755); }

    // Three steps, each adding a table t<n>, counting the steps run.
    storage::OpenOptions threeSteps() {
        storage::OpenOptions options;
        options.schemaVersion = 3;
        options.connectionPrefix = QStringLiteral("kit-test");
        for (int n = 0; n < 3; ++n)
            options.steps.push_back([this, n](QSqlDatabase& db, int) -> platform::Result<void> {
                ran.push_back(n);
                QSqlQuery q(db);
                if (!q.exec(QStringLiteral("CREATE TABLE t%1(x)").arg(n)))
                    return storage::errorOf(q.lastError());
                return {};
            });
        return options;
    }
    // Makes the file at `version` in rollback-journal mode (as an older program would).
    void makeAt(int version) {
        OtherProgram other(path);
        for (int n = 0; n < version; ++n)
            ASSERT_TRUE(other.exec(("CREATE TABLE t" + std::to_string(n) + "(x)").c_str()));
        ASSERT_TRUE(other.exec(("PRAGMA user_version=" + std::to_string(version)).c_str()));
    }

    QTemporaryDir tmp;
    std::string folder, path;
    std::vector<int> ran;
};

TEST_F(StorageKit, BringsTheSchemaUpFromWhereTheFileIs) {
    struct Case {
        int startAt; // -1: no file
        std::vector<int> steps;
    };
    const std::vector<Case> cases{
        {-1, {0, 1, 2}}, // a new store
        {0, {0, 1, 2}},  // an empty file
        {1, {1, 2}},     // step by step from where it is
        {3, {}},         // current: nothing runs
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startAt);
        ::unlink(path.c_str());
        ran.clear();
        if (c.startAt >= 0)
            makeAt(c.startAt);
        auto store = storage::open(path, threeSteps());
        ASSERT_TRUE(store.ok()) << store.text();
        EXPECT_EQ(ran, c.steps);
        EXPECT_EQ(store->foundVersion(), std::max(c.startAt, 0));
        EXPECT_EQ(store->version(), 3);
        EXPECT_EQ(store->created(), c.startAt < 0);
        QSqlQuery q(store->db());
        ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA journal_mode")) && q.next());
        EXPECT_EQ(q.value(0).toString(), QStringLiteral("wal"));
        q.finish();
        ASSERT_TRUE(
            q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name LIKE 't_'")) &&
            q.next());
        EXPECT_EQ(q.value(0).toInt(), 3);
    }
}

TEST_F(StorageKit, AFailedStepLeavesTheFileAsItWas) {
    makeAt(1);
    OtherProgram(path).exec("CREATE TABLE t2(x)"); // step 2 will find its table there
    auto store = storage::open(path, threeSteps());
    ASSERT_FALSE(store.ok());
    EXPECT_EQ(store.kind(), ErrorKind::Invalid);
    EXPECT_NE(store.text().find("do not match schema version 2"), std::string::npos)
        << store.text();
    auto look = storage::open(path, {.access = storage::Access::ReadOnly});
    ASSERT_TRUE(look.ok()) << look.text();
    EXPECT_EQ(look->version(), 1);
    QSqlQuery q(look->db());
    EXPECT_FALSE(q.exec(QStringLiteral("SELECT * FROM t1"))); // step 1 rolled back with it
}

TEST_F(StorageKit, RefusesAndLeavesAloneWhatIsNotItsToOpen) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        storage::Access access;
        ErrorKind kind;
    };
    const std::vector<Case> cases{
        {"a newer program's store", [this](const std::string&) { makeAt(7); },
         storage::Access::ReadWrite, ErrorKind::TooNew},
        {"a newer program's store, to read", [this](const std::string&) { makeAt(7); },
         storage::Access::ReadOnly, ErrorKind::TooNew},
        {"a file that is no store",
         [](const std::string& p) { std::ofstream(p) << std::string(4096, 'x'); },
         storage::Access::ReadWrite, ErrorKind::Corrupt},
        {"a link in the store's place",
         [this](const std::string& p) {
             std::ofstream(folder + "elsewhere") << "kept";
             ASSERT_EQ(::symlink((folder + "elsewhere").c_str(), p.c_str()), 0);
         },
         storage::Access::ReadWrite, ErrorKind::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.c_str());
        ::unlink((folder + "elsewhere").c_str());
        c.make(path);
        const std::string before = readFile(path);
        auto options = threeSteps();
        options.access = c.access;
        ran.clear();
        auto store = storage::open(path, options);
        ASSERT_FALSE(store.ok());
        EXPECT_EQ(store.kind(), c.kind) << store.text();
        EXPECT_TRUE(ran.empty());
        EXPECT_EQ(readFile(path), before);
        EXPECT_FALSE(exists(path + "-wal"));
    }
    // A newer store is left in the journal mode it had.
    ::unlink(path.c_str());
    makeAt(7);
    auto store = storage::open(path, threeSteps());
    ASSERT_FALSE(store.ok());
    EXPECT_NE(store.text().find("newer version"), std::string::npos) << store.text();
    auto look = storage::open(path, {.access = storage::Access::ReadOnly});
    ASSERT_TRUE(look.ok());
    QSqlQuery q(look->db());
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA journal_mode")) && q.next());
    EXPECT_EQ(q.value(0).toString(), QStringLiteral("delete"));
}

TEST_F(StorageKit, AMissingFileIsNotMadeWhenNotAskedFor) {
    struct Case {
        storage::Access access;
        bool create;
    };
    for (const Case& c :
         {Case{storage::Access::ReadOnly, true}, Case{storage::Access::ReadWrite, false}}) {
        auto store = storage::open(path, {.access = c.access, .create = c.create});
        ASSERT_FALSE(store.ok());
        EXPECT_EQ(store.kind(), ErrorKind::NotFound);
        EXPECT_FALSE(exists(path));
    }
}

TEST_F(StorageKit, AReadOnlyStoreIsNotWritten) {
    makeAt(3);
    const std::string before = readFile(path);
    auto store = storage::open(path, {.access = storage::Access::ReadOnly, .schemaVersion = 3});
    ASSERT_TRUE(store.ok()) << store.text();
    QSqlQuery q(store->db());
    EXPECT_FALSE(q.exec(QStringLiteral("INSERT INTO t0 VALUES(1)")));
    EXPECT_EQ(readFile(path), before);
}

TEST_F(StorageKit, WaitsForAnotherProgramsLockThenSaysBusy) {
    makeAt(1);
    OtherProgram other(path);
    ASSERT_TRUE(other.exec("PRAGMA journal_mode=WAL"));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    auto options = threeSteps();
    options.busyMs = 300;
    const auto start = std::chrono::steady_clock::now();
    auto held = storage::open(path, options);
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(held.ok());
    EXPECT_EQ(held.kind(), ErrorKind::Busy) << held.text();
    EXPECT_TRUE(platform::passes(held.kind()));
    // It waited its time (a lower bound only: a loaded machine may take longer).
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_TRUE(ran.empty()); // nothing ran under another program's lock
    ASSERT_TRUE(other.exec("COMMIT"));
    auto free = storage::open(path, options);
    ASSERT_TRUE(free.ok()) << free.text();
    EXPECT_EQ(free->version(), 3);
}

TEST_F(StorageKit, ConnectionNamesAreOwnAndGoWithTheStore) {
    QString first, second;
    {
        auto a = storage::open(path, threeSteps());
        auto b = storage::open(path, threeSteps());
        ASSERT_TRUE(a.ok() && b.ok());
        first = a->connectionName();
        second = b->connectionName();
        EXPECT_NE(first, second);
        EXPECT_TRUE(first.startsWith(QStringLiteral("kit-test-")));
        storage::Store moved = std::move(*a);
        EXPECT_FALSE(a->isOpen());
        EXPECT_TRUE(QSqlDatabase::contains(first));
    }
    EXPECT_FALSE(QSqlDatabase::contains(first));
    EXPECT_FALSE(QSqlDatabase::contains(second));
}

class FailingFolderSync : public platform::DurabilityProbe {
public:
    int before(Call call, int, const std::string&, const std::string&) override {
        return call == Call::SyncFolder ? EIO : 0;
    }
};

TEST_F(StorageKit, AFolderThatCannotBeSyncedIsTold) {
    FailingFolderSync failing;
    platform::setDurabilityProbe(&failing);
    auto store = storage::open(path, threeSteps());
    platform::setDurabilityProbe(nullptr);
    ASSERT_FALSE(store.ok());
    EXPECT_EQ(store.kind(), ErrorKind::Io);
    EXPECT_NE(store.text().find("could not be synced"), std::string::npos) << store.text();
    // What was written stays; the next open syncs the folder again.
    auto again = storage::open(path, threeSteps());
    ASSERT_TRUE(again.ok()) << again.text();
    EXPECT_EQ(again->foundVersion(), 3);
}

} // namespace
