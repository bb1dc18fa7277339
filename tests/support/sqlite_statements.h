// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A file as another program or an older version left it: statements run on an SQLite file
// through a connection of their own, opened before them and closed after.
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace testsupport {

// Runs the statements in turn; fails at the first one refused, naming it and the reason.
inline ::testing::AssertionResult runSql(const std::string& path,
                                         std::initializer_list<const char*> statements) {
    const QString name = QStringLiteral("testsupport-runSql");
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QString::fromStdString(path));
        if (!db.open()) {
            result = ::testing::AssertionFailure()
                     << "cannot open " << path << ": " << db.lastError().text().toStdString();
        } else {
            QSqlQuery q(db);
            for (const char* sql : statements) {
                if (!q.exec(QString::fromLatin1(sql))) {
                    result = ::testing::AssertionFailure()
                             << sql << ": " << q.lastError().text().toStdString();
                    break;
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

// Runs `body` on a connection of its own to the SQLite file at `path`, as another program
// (the pusher, say) holds one, closed after it.
inline void onSqliteFile(const std::string& path, const std::function<void(QSqlDatabase&)>& body) {
    const QString name = QStringLiteral("testsupport-onSqliteFile");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QString::fromStdString(path));
        if (db.open())
            body(db);
        else
            ADD_FAILURE() << "cannot open " << path << ": " << db.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace testsupport
