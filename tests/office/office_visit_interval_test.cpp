// SPDX-License-Identifier: GPL-3.0-or-later
// The visit interval kept on the server: set by its owner (xrq-series admin
// set-visit-interval), for the organisation and for one unit, the newest setting counting, and
// the Units page and a unit's page saying "late" by it; a laptop's role cannot set it.
#include "office_fixture.h"

#include "fleet/admin.h"
#include "fleet/visit_intervals.h"

#include <QJsonArray>

#include <sstream>

namespace officetest {
namespace {

class OfficeVisitIntervalTest : public OfficeTest {
protected:
    // `xrq-series admin ARGS` as the service's role; its exit status, what it said in `said`.
    static int admin(const QStringList& args, std::string* said = nullptr) {
        std::ostringstream out, err;
        const int status = fleet::runAdmin(args, out, err);
        if (said)
            *said = out.str() + err.str();
        return status;
    }

    QJsonObject unitOf(const QString& name) {
        for (const QJsonValue& u :
             get(QStringLiteral("/api/units")).json().value(QLatin1String("units")).toArray())
            if (u.toObject().value(QLatin1String("unit")).toString() == name)
                return u.toObject();
        return {};
    }
};

TEST_F(OfficeVisitIntervalTest, TheServersIntervalsSayWhoIsLateTheNewestCounting) {
    startOffice();
    // None kept: the service's own (30 days): SITE2, 45 days ago, is late.
    EXPECT_TRUE(unitOf(QStringLiteral("SITE2")).value(QLatin1String("late")).toBool());
    EXPECT_EQ(unitOf(QStringLiteral("SITE2")).value(QLatin1String("visit_interval_days")), 30);

    const QString owner = QStringLiteral("owner_db");
    std::string said;
    ASSERT_EQ(admin({QStringLiteral("set-visit-interval"), QStringLiteral("--service"), owner,
                     QStringLiteral("20")},
                    &said),
              0)
        << said;
    ASSERT_EQ(admin({QStringLiteral("set-visit-interval"), QStringLiteral("--service"), owner,
                     QStringLiteral("60")},
                    &said),
              0)
        << said;
    ASSERT_EQ(admin({QStringLiteral("set-visit-interval"), QStringLiteral("--service"), owner,
                     QStringLiteral("1"), QStringLiteral("SITE1")},
                    &said),
              0)
        << said;
    EXPECT_NE(said.find("unit SITE1 is late 1 days"), std::string::npos) << said;
    // A unit the server does not know yet is set all the same, and said so.
    EXPECT_EQ(admin({QStringLiteral("set-visit-interval"), QStringLiteral("--service"), owner,
                     QStringLiteral("7"), QStringLiteral("SITE9")},
                    &said),
              0);
    EXPECT_NE(said.find("holds nothing of it yet"), std::string::npos) << said;
    // Refused: no days, too many, a laptop's role (it may only add facts).
    for (const QStringList& refused :
         {QStringList{QStringLiteral("0")}, QStringList{QStringLiteral("3651")},
          QStringList{QStringLiteral("ten")},
          QStringList{QStringLiteral("5"), QStringLiteral("SITE1"), QStringLiteral("more")}})
        EXPECT_EQ(admin(QStringList{QStringLiteral("set-visit-interval"),
                                    QStringLiteral("--service"), owner} +
                        refused),
                  2)
            << refused.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(admin({QStringLiteral("set-visit-interval"), QStringLiteral("--service"),
                     QStringLiteral("laptop_a"), QStringLiteral("1")},
                    &said),
              1);
    EXPECT_NE(said.find("permission denied"), std::string::npos) << said;

    // The organisation's newest (60): SITE2 is due; SITE1's own (1 day) makes it late.
    const QJsonObject site1 = unitOf(QStringLiteral("SITE1")),
                      site2 = unitOf(QStringLiteral("SITE2"));
    EXPECT_TRUE(site1.value(QLatin1String("late")).toBool());
    EXPECT_EQ(site1.value(QLatin1String("visit_interval_days")), 1);
    EXPECT_FALSE(site2.value(QLatin1String("late")).toBool());
    EXPECT_EQ(site2.value(QLatin1String("visit_interval_days")), 60);
    const QString units = QString::fromUtf8(get(QStringLiteral("/units")).body);
    EXPECT_TRUE(units.contains(QStringLiteral("late: 2 days, interval 1")));
    EXPECT_TRUE(units.contains(QStringLiteral("more than 60 days ago (the interval the server "
                                              "keeps), or after its own interval")));
    const QString unit = QString::fromUtf8(get(QStringLiteral("/unit?u=SITE1")).body);
    EXPECT_TRUE(unit.contains(QStringLiteral("<p class=\"late\">Last visit: late: 2 days, "
                                             "interval 1</p>")));
    // Every setting is kept, with who made it.
    EXPECT_EQ(count("xrq.visit_intervals"), 4);
    EXPECT_EQ(s->server.value("SELECT count(DISTINCT set_by) FROM xrq.visit_intervals"), "1");
}

} // namespace
} // namespace officetest
