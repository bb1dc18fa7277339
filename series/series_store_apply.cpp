// SPDX-License-Identifier: GPL-3.0-or-later
// SeriesStore::apply: a download's data sets taken into their series in one transaction.
#include "series/held_reader.h"
#include "series/overlap.h"
#include "series/series_merge.h"
#include "series/series_store.h"
#include "series/store_db.h"

#include <QSqlError>

#include <algorithm>
#include <memory>

namespace series {

using namespace detail;

namespace {

// A series' segments as the merge sees them (series_merge.h): each read (its chunks, what was
// said at its disputed places) only when the merge first asks for one of its records.
struct HeldSegments {
    struct Held {
        std::unique_ptr<HeldReader> reader;
        SeriesStore::Db::Versions versions;
        std::map<std::size_t, std::string> shown;                // settled places' lines
        std::map<std::size_t, std::vector<std::uint64_t>> known; // versions' hashes
    };
    explicit HeldSegments(SeriesStore::Db& store) : db(store) {}
    HeldSegments(const HeldSegments&) = delete;
    HeldSegments& operator=(const HeldSegments&) = delete;

    bool read(std::int64_t series) {
        if (!db.segmentsOf(series, segments))
            return false;
        held.resize(segments.size());
        views.resize(segments.size());
        for (std::size_t k = 0; k < segments.size(); ++k) {
            views[k].records = segments[k].records;
            views[k].confirmed = segments[k].confirmed;
            views[k].lastDownloadAt = segments[k].lastDownloadAt;
            views[k].shown = [this, k](std::size_t place) -> std::uint64_t {
                Held* h = opened(k);
                return h ? recordHash(shownAt(*h, place)) : 0;
            };
            views[k].known = [this, k](std::size_t place, std::uint64_t hash) {
                Held* h = opened(k);
                if (!h)
                    return false;
                const auto it = h->known.find(place);
                return it != h->known.end() &&
                       std::find(it->second.begin(), it->second.end(), hash) != it->second.end();
            };
        }
        return true;
    }
    // Segment k read (null, the error in the store's, when it cannot be).
    Held* opened(std::size_t k) {
        Held& h = held[k];
        if (!h.reader && !unreadable) {
            h.reader = std::make_unique<HeldReader>(db.db, segments[k].id);
            auto readable = h.reader->open();
            unreadable =
                !readable ? !db.fail(readable.error()) : !db.versions(segments[k].id, h.versions);
            // A place settled for another record than its chunk holds shows that one.
            for (const auto& [place, said] : h.versions) {
                const int settled = SeriesStore::Db::settledOf(said);
                if (settled >= 0)
                    h.shown[place] = said[std::size_t(settled)].line;
                for (const SeriesStore::Db::Said& version : said)
                    h.known[place].push_back(recordHash(version.line));
            }
        }
        return unreadable ? nullptr : &h;
    }
    static std::string_view shownAt(Held& h, std::size_t place) {
        const auto it = h.shown.find(place);
        return it != h.shown.end() ? std::string_view(it->second) : h.reader->at(place);
    }
    // Whether every record asked for was read.
    bool ok() {
        for (const Held& h : held)
            if (!unreadable && h.reader && h.reader->failed()) {
                db.fail(h.reader->error());
                unreadable = true;
            }
        return !unreadable;
    }

    SeriesStore::Db& db;
    std::vector<Segment> segments;
    std::vector<Held> held;
    std::vector<SegmentView> views;
    bool unreadable = false;
};

} // namespace

ApplyResult SeriesStore::apply(const DownloadInput& in, const DownloadSets& sets,
                               const UnitFacts& facts) {
    const std::unique_ptr<DownloadRecords> records = downloadRecordsOf(sets);
    return apply(in, *records, facts);
}

// One BEGIN IMMEDIATE transaction from the replay check to the commit, with a
// rollback at each of its many failure points; the pure decisions it applies are already
// apart (series_merge.h's planDownload, overlap.h's alignment), and what is left is the order
// of the writes inside that transaction.
// Whole: that order of writes reads best in one place.
ApplyResult SeriesStore::apply(const DownloadInput& in, DownloadRecords& download,
                               const UnitFacts& facts) {
    ApplyResult result;
    if (!m_db) {
        result.error = "the series store is not open";
        return result;
    }
    Db& db = *m_db;
    const QString laptop = db.thisLaptop();
    if (!db.run("BEGIN IMMEDIATE")) {
        result.error = db.error;
        return result;
    }
    auto fail = [&] {
        result.error = db.error;
        db.run("ROLLBACK");
        result.ok = false;
        result.sets.clear();
        return result;
    };
    if (hasDownload(in.serial, in.keptPath)) {
        db.run("ROLLBACK");
        result.ok = true;
        result.replayed = true;
        return result;
    }
    std::int64_t downloadId = 0;
    if (!db.addDownload(in, downloadId) || !db.keepClockSets(in.serial, facts.clockSets))
        return fail();
    const TimeRule rule = timeRuleFor(facts, in.atMs);
    std::map<std::string, int> ordinals;
    auto unread = [&] {
        db.error = download.readError();
        return fail();
    };
    for (std::size_t setIndex = 0; setIndex < download.sets().size(); ++setIndex) {
        const SetIndex& set = download.sets()[setIndex];
        SetTaken taken;
        taken.name = set.name;
        taken.ordinal = ordinals[set.name]++;
        // d: the hashes of the download's records; their bytes are read again where stored.
        const std::vector<std::uint64_t>& d = set.hashes;

        std::int64_t seriesId = 0;
        if (!db.seriesOf(in.serial, set.name, taken.ordinal, seriesId))
            return fail();
        if (!set.titles.empty()) {
            QSqlQuery t(db.db);
            t.prepare(QStringLiteral(
                "INSERT OR IGNORE INTO titles(series_id, download_id, line) VALUES(?, ?, ?)"));
            t.bindValue(0, qint64(seriesId));
            t.bindValue(1, qint64(downloadId));
            t.bindValue(2, blob(set.titles));
            if (!db.exec(t))
                return fail();
        }

        // Times: read with the records as they are stored (below).
        const viewer::DateOrder order = set.dateOrder;

        // The segments as the merge sees them, and the plan.
        HeldSegments heldSegments(db);
        if (!heldSegments.read(seriesId))
            return fail();
        const std::vector<Segment>& segs = heldSegments.segments;
        DownloadView view;
        view.hashes = &d;
        view.atMs = in.atMs;
        view.safe = in.safe;
        view.complete = set.complete;
        view.clears = facts.clearsMs;
        const MergePlan plan = planDownload(heldSegments.views, view);
        if (!heldSegments.ok())
            return fail();

        const std::optional<Segment> last =
            segs.empty() ? std::nullopt : std::optional<Segment>(segs.back());
        Segment segment;
        std::size_t from = 0;
        bool take = true;
        bool moved = false; // the records it went into went on as a segment of their own
        std::optional<Segment> replace; // provisional records apart this download replaces
        if (plan.replace)
            replace = segs[*plan.replace];
        if (replace) {
            taken.replaced += replace->records;
            if (!db.dropSegment(seriesId, *replace))
                return fail();
        }
        // The place of a new segment: after the last one kept.
        const int nextSeq = !last ? 0 : replace ? replace->seq : last->seq + 1;
        auto noteReplaced = [&](const Segment& into, std::uint64_t record) {
            return taken.replaced == 0 ||
                   db.note(seriesId, downloadId, into.seq + 1, record,
                           std::to_string(taken.replaced) + " provisional records replaced by " +
                               (in.safe ? "a safe download" : "a later download"));
        };

        if (plan.kind == MergePlan::Kind::Skip) {
            take = false; // nothing to start a segment with; the clear still counts
        } else if (plan.kind == MergePlan::Kind::First) {
            // The series' first segment (or its only one, of provisional records, replaced).
            if (!db.newSegment(seriesId, 0, in.atMs, segment) ||
                !db.note(seriesId, downloadId, 1, 1, "segment starts: first download") ||
                !noteReplaced(segment, 1))
                return fail();
        } else if (plan.kind == MergePlan::Kind::NewSegment) {
            const Alignment& a = plan.alignment;
            taken.newSegment = true;
            taken.afterClear = a.afterClear;
            taken.differsAt = a.differsAt;
            taken.reason = a.reason;
            taken.apart = !in.safe;
            if (!db.newSegment(seriesId, nextSeq, in.atMs, segment) ||
                !db.note(seriesId, downloadId, segment.seq + 1, 1,
                         "segment starts: " + a.reason +
                             (in.safe ? std::string()
                                      : " (provisional, apart: the download was not called "
                                        "safe)")) ||
                !noteReplaced(segment, 1))
                return fail();
        } else {
            HeldSegments::Held* opened = heldSegments.opened(plan.target);
            if (!opened)
                return fail();
            HeldSegments::Held& target = *opened;
            const Alignment& a = plan.alignment;
            segment = segs[plan.target];
            const std::uint64_t keepOnly =
                plan.alignedWith < segment.records ? plan.alignedWith : 0;
            if (keepOnly > 0) {
                const std::uint64_t dropped = segment.records - keepOnly;
                if (!db.truncate(segment, keepOnly))
                    return fail();
                taken.replaced += dropped;
            }
            if (!noteReplaced(segment, segment.records + 1))
                return fail();
            const std::uint64_t held =
                std::min<std::uint64_t>(d.size(), plan.alignedWith - a.start);
            // What d said at disputed places, and at the places where it differs.
            std::set<std::uint64_t> places;
            for (const auto& [place, said] : target.versions)
                if (place >= a.start && place < a.start + held)
                    places.insert(place);
            for (const std::size_t i : a.differing)
                places.insert(a.start + i);
            // What d said there, read again from the download in one pass.
            std::map<std::uint64_t, std::string> saidAt;
            if (!places.empty()) {
                if (!download.seek(setIndex, *places.begin() - a.start))
                    return unread();
                std::string_view line;
                for (std::uint64_t i = *places.begin() - a.start; i <= *places.rbegin() - a.start;
                     ++i) {
                    if (!download.next(line))
                        return unread();
                    if (places.count(a.start + i))
                        saidAt[a.start + i] = std::string(line);
                }
            }
            std::vector<std::pair<std::uint64_t, std::string>> rewrites;
            for (const std::uint64_t place : places) {
                const std::string_view said = saidAt[place];
                const auto settledHere = target.shown.find(place);
                const std::string shown(settledHere != target.shown.end()
                                            ? std::string_view(settledHere->second)
                                            : target.reader->at(place));
                std::vector<Db::Said>& was = target.versions[place];
                const bool before = !was.empty() && Db::disputed(was);
                if (was.empty()) {
                    // The first statement: the record held, by the download that brought it
                    // (a confirmed one counts as safe: a safe download confirmed it).
                    const bool heldSafe = place < segment.confirmed;
                    if (!db.state(segment.id, place, target.reader->downloadOf(place), heldSafe,
                                  shown))
                        return fail();
                    was.push_back({shown, heldSafe});
                }
                if (!db.state(segment.id, place, downloadId, in.safe, said))
                    return fail();
                was.push_back({std::string(said), in.safe});
                std::vector<Statement> st;
                for (const Db::Said& w : was)
                    st.push_back({w.line, w.safe});
                const int settled = settledStatement(st);
                if (settled >= 0 && was[std::size_t(settled)].line != shown)
                    rewrites.emplace_back(place, was[std::size_t(settled)].line);
                if (settled < 0 && !before)
                    ++taken.disputed;
                if (settled >= 0 && before)
                    ++taken.settled;
            }
            if (target.reader->failed()) {
                db.fail(target.reader->error());
                return fail();
            }
            target.reader.reset();
            // A record not yet shared is written again as settled; one shared stays as it
            // was shared (what this laptop said, a fact on the server), and the series shows
            // the settled one over it (forEachRecord).
            for (const auto& [place, line] : rewrites)
                if (place >= segment.shared && !db.rewrite(segment.id, place, line))
                    return fail();
            if (a.kind == Alignment::Kind::Append) {
                from = a.from;
                taken.held = from;
            } else {
                take = false;
                taken.held = d.size();
                taken.fewer = a.fewer;
                if (a.fewer &&
                    !db.note(seriesId, downloadId, segment.seq + 1, a.start + d.size() + 1,
                             "the unit holds fewer records than before (" +
                                 std::to_string(d.size()) + " of " +
                                 std::to_string(segment.records - a.start) + ")"))
                    return fail();
            }
            // A safe download confirms the provisional records it holds, and only those. Where
            // the memory wrapped past provisional records it does not hold, they stay as they
            // are, and what it holds goes on as a segment of its own.
            std::uint64_t start = a.start;
            if (in.safe && segment.confirmed < start) {
                Segment rest;
                if (!db.split(seriesId, segment, start, in.atMs, rest) ||
                    !db.note(seriesId, downloadId, rest.seq + 1, 1,
                             "segment starts: the memory wrapped past " +
                                 std::to_string(start - segment.confirmed) +
                                 " provisional records no safe download held"))
                    return fail();
                segment.lastDownloadAt = in.atMs;
                if (!db.saveSegment(segment))
                    return fail();
                segment = rest;
                start = 0;
                taken.newSegment = true;
                taken.reason = "the memory wrapped past provisional records";
                moved = true;
            }
            if (in.safe && segment.confirmed < start + held) {
                taken.confirmed = start + held - segment.confirmed;
                segment.confirmed = start + held;
            }
            taken.wrapped = a.wrapped;
            segment.lastDownloadAt = in.atMs;
            if (!db.saveSegment(segment))
                return fail();
        }
        // Every record's stamp (the series' usual interval), and the new ones stored with
        // their flags: one pass over the download's records.
        const bool wasAllConfirmed = segment.confirmed == segment.records;
        UsualInterval stamps;
        {
            Db::ChunkWriter chunks(db, segment, downloadId, rule, order);
            if (!download.seek(setIndex, 0))
                return unread();
            std::string_view line;
            for (std::size_t i = 0; i < d.size(); ++i) {
                if (!download.next(line))
                    return unread();
                double seconds = 0;
                const bool parsed = unitSeconds(line, order, seconds);
                if (parsed)
                    stamps.add(seconds);
                if (take && i >= from && !chunks.add(timeFlags(rule, parsed, seconds), line))
                    return fail();
            }
            if (!chunks.finish())
                return fail();
        }
        if (take) {
            taken.added = d.size() - from;
            taken.provisional = !in.safe;
            if (in.safe && wasAllConfirmed)
                segment.confirmed = segment.records;
            segment.lastDownloadAt = in.atMs;
            if (!db.saveSegment(segment))
                return fail();
        }
        // Segments the download showed to be the same memory join the one it went into.
        if (!moved && segment.id != 0 && !plan.joins.empty()) {
            for (const SegmentJoin& join : plan.joins) {
                if (!db.joinSegment(seriesId, segs[join.segment], segment, join.place,
                                    join.differing.size(), downloadId, taken.disputed,
                                    taken.settled))
                    return fail();
                ++taken.joined;
            }
            if (!db.saveSegment(segment))
                return fail();
        }
        const double interval = stamps.value();
        // Records this download confirmed (its own, when safe, and provisional ones before
        // them) go to the outbox in this transaction.
        if (segment.id != 0 && segment.confirmed > segment.shared) {
            if (!db.share(in.serial, set.name, taken.ordinal, segment, in.atMs, laptop) ||
                !db.saveSegment(segment))
                return fail();
        }
        if (interval > 0) {
            QSqlQuery q(db.db);
            q.prepare(QStringLiteral("UPDATE series SET usual_interval = ? WHERE id = ?"));
            q.bindValue(0, interval);
            q.bindValue(1, qint64(seriesId));
            if (!db.exec(q))
                return fail();
        }
        result.sets.push_back(std::move(taken));
    }
    fault("before commit");
    if (!db.run("COMMIT"))
        return fail();
    result.ok = true;
    return result;
}

} // namespace series
