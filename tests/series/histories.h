// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Histories, not only examples: seeded random histories of a unit visited by one to three
// laptops. Its memory grows, is cleared at some visits, wraps; some downloads are cut, some
// not called safe (a NUL in a record, or only said so), some carry one record with a digit
// changed; some laptops lose their store and rebuild it from their kept downloads. After a
// history every laptop's series equals the truth (playHistory checks it), and so does a
// series derived from all their shared records (checkDerived): each physical record once, in
// the unit's order; disputed exactly where laptops shared different records.
#include "series/overlap.h"
#include "series/series_share.h"
#include "series/series_store.h"
#include "series/server_series.h"
#include "series/shared_records.h"

#include "fleet/fleet_settings.h"
#include "support/result_assert.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace histories {

using namespace series;

constexpr std::size_t kCapacity = 400; // records the unit's memory holds before it wraps

// A physical record: its number in the unit's whole life is in its line, so a row tells
// which record it is whatever was changed in it.
inline std::string recordLine(long id, int variant = 0) {
    return "26-06-01 00:00:00, " + std::to_string(id) + ", 12." + std::to_string(variant);
}
inline long idOf(std::string_view line) {
    const auto a = line.find(", ");
    const auto b = line.find(", ", a + 2);
    return std::stol(std::string(line.substr(a + 2, b - a - 2)));
}

struct Download {
    std::vector<std::string> records;
    bool cut = false, safe = true;
    std::int64_t at = 0;
};

inline std::string textOf(const Download& d) {
    std::string text = "F\r\nName: SITE1\r\n";
    for (const std::string& r : d.records)
        text += r + "\r\n";
    return text + (d.cut ? "26-06-01 00:0" : ">");
}

// What a laptop's series says at one record's place, as the store settles it: the record
// held stands alone until a download says another there; from then on every download that
// holds the place adds its statement after the one held (which counts once, safe when a safe
// download had confirmed it), and the place shows the line said most often by safe
// downloads (by any while none was safe), disputed while two lines tie.
struct Place {
    std::string held;
    bool heldSafe = false;
    std::vector<std::pair<std::string, bool>> said; // empty until the first disagreement

    void hear(const std::string& line, bool safe) {
        if (said.empty() && held.empty()) {
            held = line;
            heldSafe = safe;
        } else if (said.empty() && line == held) {
            heldSafe = heldSafe || safe;
        } else {
            if (said.empty())
                said.emplace_back(held, heldSafe);
            said.emplace_back(line, safe);
        }
    }
    bool disputed() const {
        bool anySafe = false;
        for (const auto& s : said)
            anySafe = anySafe || s.second;
        std::map<std::string, int> count;
        for (const auto& [line, safe] : said)
            if (safe || !anySafe)
                ++count[line];
        int most = 0, lines = 0;
        for (const auto& c : count) {
            lines = c.second > most ? 1 : lines + (c.second == most);
            most = std::max(most, c.second);
        }
        return lines > 1;
    }
};

struct Laptop {
    std::string folder;
    std::unique_ptr<SeriesStore> store;
    std::vector<Download> kept;       // every download it made, in order (its kept copies)
    std::vector<std::int64_t> clears; // the clears it made (its register's)
    // What it received of each physical record: (line, safe) per download that held it.
    std::map<long, std::vector<std::pair<std::string, bool>>> received;
    std::map<long, Place> places; // what its series says at each record's place
    long lastHeld = -1;           // the last record its last download held
    long lastSafe = -1;           // ... its last safe download: the end of what it shares
};

struct History {
    std::mt19937 random;
    std::size_t capacity;     // records the unit's memory holds before it wraps
    std::vector<long> memory; // record ids, oldest first
    long next = 0;
    std::int64_t clock = 1'000'000;
    std::vector<Laptop> laptops;

    explicit History(unsigned seed, std::size_t memory = kCapacity)
        : random(seed), capacity(memory) {}
    int pick(int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); }
    bool chance(int percent) { return pick(1, 100) <= percent; }

    // Logs about n records, never leaving a laptop's last record (or the last it shares)
    // among the first 15 the memory holds (the wrap rule needs 16 in common, or none).
    void log(int n) {
        for (int tries = 0; tries < 3 * int(capacity); ++tries, ++n) {
            const long total = next + n;
            const long first =
                std::max<long>(memory.empty() ? next : memory.front(), total - long(capacity));
            bool ok = true;
            for (const Laptop& l : laptops)
                for (const long last : {l.lastHeld, l.lastSafe})
                    if (last >= first && last - first + 1 < 16)
                        ok = false;
            if (ok)
                break;
        }
        for (int i = 0; i < n; ++i) {
            memory.push_back(next++);
            if (memory.size() > capacity)
                memory.erase(memory.begin());
        }
    }
};

inline void apply(Laptop& l, const Download& d) {
    UnitFacts facts;
    facts.clearsMs = l.clears;
    DownloadInput in{"XRQ1", "kept-" + std::to_string(d.at), d.at, d.safe};
    const ApplyResult r = l.store->apply(in, parseDownloadText(textOf(d)), facts);
    ASSERT_TRUE(r.ok) << r.error;
    if (std::getenv("XRQ_HISTORY_VERBOSE"))
        std::fprintf(stderr, "  %s %s: %zu records%s%s -> %s\n", l.folder.c_str(),
                     d.records.empty() ? "-"
                                       : (std::to_string(idOf(d.records.front())) + ".." +
                                          std::to_string(idOf(d.records.back())))
                                             .c_str(),
                     d.records.size(), d.cut ? ", cut" : "", d.safe ? "" : ", not safe",
                     r.text().c_str());
}

inline bool openStore(Laptop& l) {
    l.store = std::make_unique<SeriesStore>();
    const auto opened = l.store->open(l.folder + kFileName);
    EXPECT_TRUE(done(opened));
    return opened.ok();
}

struct Row {
    long id;
    bool provisional, disputed;
    int segment;
};
inline std::vector<Row> rowsOf(const RecordSource& source) {
    std::vector<Row> out;
    source.forEachRecord([&](const RecordRef& r) {
        out.push_back({idOf(r.line), r.provisional, r.disputed, r.segment});
        return true;
    });
    return out;
}

// Each record once, in the unit's order; provisional and disputed only where they may be.
inline void checkLaptop(const Laptop& l, const std::string& who) {
    SCOPED_TRACE(who);
    const auto info = l.store->find("XRQ1", "SITE1");
    if (l.received.empty()) {
        EXPECT_FALSE(info);
        return;
    }
    ASSERT_TRUE(info);
    const std::vector<Row> rows = rowsOf(storeSource(*l.store, *info));
    std::map<long, int> confirmedRows;
    long last = -1;
    for (const Row& r : rows) {
        const auto got = l.received.find(r.id);
        ASSERT_NE(got, l.received.end()) << "record " << r.id << " was never downloaded";
        bool anySafe = false;
        std::set<std::string> safeVersions;
        for (const auto& [line, safe] : got->second) {
            anySafe = anySafe || safe;
            if (safe)
                safeVersions.insert(line);
        }
        if (r.provisional)
            continue; // records apart may repeat what a segment holds until a safe one comes
        ++confirmedRows[r.id];
        EXPECT_GT(r.id, last) << "record " << r.id << " out of the unit's order";
        last = r.id;
        EXPECT_TRUE(anySafe) << "record " << r.id << " confirmed, no safe download held it";
        if (r.disputed) {
            EXPECT_GE(safeVersions.size(), 2u) << "record " << r.id << " disputed, all agreed";
        }
        // ... and disputed exactly where its downloads disagreed and none settled it since.
        EXPECT_EQ(r.disputed, l.places.at(r.id).disputed())
            << "record " << r.id << (r.disputed ? " disputed, settled" : " not disputed");
    }
    for (const auto& [id, said] : l.received) {
        bool anySafe = false;
        for (const auto& s : said)
            anySafe = anySafe || s.second;
        if (anySafe) {
            EXPECT_EQ(confirmedRows[id], 1) << "record " << id << " held by a safe download";
        }
    }
}

// The server's rows: every laptop's shared records, each key once (the first pushed), in
// the order they arrived.
inline std::vector<fleet::ServerSeriesRecord> serverRows(const std::vector<Laptop>& laptops) {
    std::set<
        std::tuple<std::string, std::string, std::string, std::int64_t, std::string, std::int64_t>>
        held;
    std::vector<fleet::ServerSeriesRecord> out;
    std::int64_t arrival = 0;
    for (const Laptop& l : laptops)
        for (const auto& s : testsupport::sharedRecords(l.folder + kFileName)) {
            if (!held.insert(s.serverKey()).second)
                continue;
            fleet::ServerSeriesRecord r;
            r.segment = s.segment;
            r.position = s.position;
            r.chainHash = QString::fromStdString(s.hash);
            r.occurrence = s.occurrence;
            r.after = QString::fromStdString(s.after);
            r.afterOccurrence = s.afterOccurrence;
            r.laptop = QString::fromStdString(s.laptop);
            r.occurredAt = ++arrival;
            QJsonObject info{
                {"download", ""}, {"order", 0}, {"offset", QJsonValue()}, {"flags", 0}};
            r.payload = QJsonObject{{"line", QString::fromLatin1(s.line.c_str())}, {"info", info}};
            out.push_back(std::move(r));
        }
    return out;
}

// What the laptops shared of each record (confirmed by some laptop), as their outboxes hold
// it.
using SharedLines = std::map<long, std::set<std::string>>;
inline SharedLines sharedLines(const std::vector<Laptop>& laptops) {
    SharedLines shared;
    for (const Laptop& l : laptops)
        for (const auto& s : testsupport::sharedRecords(l.folder + kFileName))
            shared[idOf(s.line)].insert(s.line);
    return shared;
}

// The series derived from the laptops' shared records equals the truth.
inline void checkDerived(const DerivedSeries& derived, SharedLines shared) {
    SCOPED_TRACE("the server's series");
    if (std::getenv("XRQ_HISTORY_VERBOSE")) {
        long runFrom = -2, runTo = -2;
        int seg = -1;
        auto flush = [&] {
            if (runFrom >= -1)
                std::fprintf(stderr, "  server segment %d: %ld..%ld\n", seg, runFrom, runTo);
        };
        for (const DerivedRecord& d : derived.records) {
            const long id = idOf(d.record.line);
            if (d.record.segment != seg || id != runTo + 1) {
                flush();
                seg = d.record.segment;
                runFrom = id;
            }
            runTo = id;
        }
        flush();
    }
    std::map<long, int> seen;
    for (const DerivedRecord& d : derived.records)
        ++seen[idOf(d.record.line)];
    for (const auto& [id, lines] : shared)
        EXPECT_EQ(seen[id], 1) << "record " << id;
    EXPECT_EQ(seen.size(), shared.size());
    // Disputed exactly where laptops shared different records at one place; each shows one
    // that some laptop shared.
    for (const DerivedRecord& d : derived.records) {
        const long id = idOf(d.record.line);
        EXPECT_FALSE(d.repeated) << "record " << id;
        EXPECT_EQ(d.disputed, shared[id].size() > 1) << "record " << id;
        EXPECT_EQ(shared[id].count(d.record.line), 1u) << "record " << id;
    }
}

// Plays the history of `seed` with its laptops' stores under `base`.
inline void playHistory(History& h, const std::string& base) {
    const int laptops = h.pick(1, 3);
    for (int i = 0; i < laptops; ++i) {
        Laptop l;
        l.folder = base + "/laptop-" + std::to_string(i) + "/";
        QDir().mkpath(QString::fromStdString(l.folder));
        fleet::writeFleetSettings(l.folder, {QString(), QStringLiteral("laptop-%1").arg(i)});
        ASSERT_TRUE(openStore(l));
        h.laptops.push_back(std::move(l));
    }
    const int visits = h.pick(4, 12);
    for (int v = 0; v < visits; ++v) {
        // Now and then a quarter to three quarters of the memory, mostly a few records.
        const int memory = int(h.capacity);
        h.log(h.pick(0, 3) == 0 ? h.pick(memory / 4, memory * 3 / 4)
                                : h.pick(1, std::max(1, memory * 3 / 20)));
        Laptop& l = h.laptops[std::size_t(h.pick(0, laptops - 1))];
        Download d;
        d.at = (h.clock += 3600'000);
        for (const long id : h.memory)
            d.records.push_back(recordLine(id));
        if (h.chance(15) && d.records.size() > 20) { // cut, 16 records or more left
            d.cut = true;
            d.records.resize(std::size_t(h.pick(16, int(d.records.size()) - 1)));
        }
        // One record changed, or a NUL in one (then not called safe), where a laptop that
        // holds the records before and after it can tell (isolated: overlap.h).
        const long first = d.records.empty() ? 0 : idOf(d.records.front());
        const long lastHere = d.records.empty() ? -1 : idOf(d.records.back());
        const long overlap = std::min(l.lastHeld, lastHere) - first + 1;
        const int damage = h.pick(1, 100);
        if (damage <= 25 && overlap >= long(2 * kIsolation + 3)) {
            const long id = first + h.pick(9, int(overlap) - 10);
            std::string& line = d.records[std::size_t(id - first)];
            if (damage <= 15)
                line = recordLine(id, 9);
            else {
                line = recordLine(id) + std::string(1, '\0');
                d.safe = false;
            }
        } else if (damage > 90) {
            d.safe = false; // not called safe, for another reason
        }
        for (const std::string& line : d.records) {
            l.received[idOf(line)].emplace_back(line, d.safe);
            l.places[idOf(line)].hear(line, d.safe);
        }
        if (!d.records.empty() && !d.cut)
            l.lastHeld = lastHere;
        else if (!d.records.empty())
            l.lastHeld = std::max(l.lastHeld, lastHere);
        if (d.safe && !d.records.empty())
            l.lastSafe = std::max(l.lastSafe, lastHere);
        l.kept.push_back(d);
        apply(l, d);
        if (::testing::Test::HasFatalFailure())
            return;
        // A clear after a whole safe download (the program's rule), at some visits.
        if (d.safe && !d.cut && h.chance(20)) {
            h.memory.clear();
            l.clears.push_back(h.clock += 1000);
            if (std::getenv("XRQ_HISTORY_VERBOSE"))
                std::fprintf(stderr, "  %s cleared\n", l.folder.c_str());
            for (Laptop& other : h.laptops)
                other.lastHeld = other.lastSafe = -1; // none of it is in the memory any more
        }
        // A laptop that loses its store builds it again from its kept downloads.
        if (h.chance(8)) {
            Laptop& lost = h.laptops[std::size_t(h.pick(0, laptops - 1))];
            if (std::getenv("XRQ_HISTORY_VERBOSE"))
                std::fprintf(stderr, "  %s rebuilt\n", lost.folder.c_str());
            lost.store.reset();
            QFile::remove(QString::fromStdString(lost.folder + kFileName));
            ASSERT_TRUE(openStore(lost));
            for (const Download& k : lost.kept) {
                apply(lost, k);
                if (::testing::Test::HasFatalFailure())
                    return;
            }
        }
    }
    for (std::size_t i = 0; i < h.laptops.size(); ++i)
        checkLaptop(h.laptops[i], "laptop " + std::to_string(i));
}

} // namespace histories
