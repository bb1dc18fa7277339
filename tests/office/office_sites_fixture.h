// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The office's fixture with the data manager's site facts added beside the laptops': RIVER-01
// ("Bridge <gauge> 'x'") where SITE3 stood until SITE1 took its place in the middle of SITE3's
// records (SITE3's TEMP's columns a temperature in °C and a stage in m), and RIVER-02 (an 8-bit
// name, its own visit interval of 7 days) with SITE2 and a note about it.
#include "office_fixture.h"

#include "fleet/site_fact_writes.h"

namespace officetest {

// SITE3 at RIVER-01 until SITE1 takes its place at 2026-12-01T01:00:00Z: SITE3's records
// (UTC 2026-11-30T23:00Z on, one a minute) count there until then, the first 120.
inline constexpr std::int64_t kSwapMs = 1796086800000;
inline constexpr int kSite3BeforeSwap = 120;

class OfficeSitesTest : public OfficeTest {
protected:
    static void SetUpTestSuite() {
        OfficeTest::SetUpTestSuite();
        if (s && s->failure.empty())
            s->failure = addSites();
    }

    static std::string addSites() {
        fleet::PgConnection pg;
        if (!pg.connect(fleet::serviceConninfo("owner_db"), 10s))
            return "owner not connected";
        fleet::Site river1{QStringLiteral("RIVER-01"),
                           QStringLiteral("Bridge <gauge> 'x'"),
                           QStringLiteral("Right bank"),
                           8.54,
                           47.37,
                           408.0,
                           std::nullopt};
        fleet::Site river2{QStringLiteral("RIVER-02"),
                           QString::fromLatin1("M\xfchle"),
                           {},
                           8.6,
                           47.4,
                           std::nullopt,
                           7};
        fleet::Deployment d3{QStringLiteral("SITE3"), QStringLiteral("RIVER-01"),
                             kSite3ClockSetMs - 3600000, std::nullopt, false};
        // The swap: SITE3 taken away, SITE1 put in its place.
        fleet::Removal removed{QStringLiteral("SITE3"), kSwapMs};
        fleet::Deployment d1{QStringLiteral("SITE1"), QStringLiteral("RIVER-01"), kSwapMs,
                             std::nullopt, false};
        fleet::Deployment d2{QStringLiteral("SITE2"), QStringLiteral("RIVER-02"),
                             s->now - 45 * kDay, std::nullopt, false};
        fleet::FieldNote note;
        note.id = fleet::newFactId();
        note.unit = QStringLiteral("SITE2");
        note.atMs = s->now - 45 * kDay;
        note.category = fleet::NoteCategory::Damage;
        note.text = QStringLiteral("<b>cable</b> chewed");
        note.by = QStringLiteral("Anna");
        // SITE3's TEMP: the field after its time a temperature, the next a stage (fields counted
        // from the time stamp's, 1, as the export numbers them).
        fleet::ColumnMeaning temperature{
            {},
            QStringLiteral("TEMP"),
            2,
            0,
            QStringLiteral("Water temperature"),
            {},
            {QStringLiteral("Cel"), QStringLiteral("°C"), QStringLiteral("degree Celsius")}};
        fleet::ColumnMeaning stage{
            {},
            QStringLiteral("TEMP"),
            3,
            0,
            QStringLiteral("Stage"),
            {},
            {QStringLiteral("m"), QStringLiteral("m"), QStringLiteral("metre")}};
        const fleet::AddedSiteFacts added = fleet::addSiteFacts(pg, {{river1, false, {}},
                                                                     {river2, false, {}},
                                                                     {d3, false, {}},
                                                                     {removed, false, {}},
                                                                     {d1, false, {}},
                                                                     {d2, false, {}},
                                                                     {note, false, {}},
                                                                     {temperature, false, {}},
                                                                     {stage, false, {}}});
        return added.ok ? std::string() : "site facts not added: " + added.error.toStdString();
    }
};

} // namespace officetest
