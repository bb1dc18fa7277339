// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/series_merge.h"

#include <algorithm>
#include <unordered_set>

namespace series {

namespace {

bool clearedSince(const DownloadView& d, const SegmentView& s) {
    for (const std::int64_t c : d.clears)
        if (c > s.lastDownloadAt && c < d.atMs)
            return true;
    return false;
}

bool fits(const Alignment& a) {
    return a.kind != Alignment::Kind::NewSegment;
}

// The download against the first `size` records of `s`.
Alignment alignWith(const SegmentView& s, std::uint64_t size, bool cleared, const DownloadView& d) {
    const std::vector<std::uint64_t>& h = *d.hashes;
    AlignmentQuestions q;
    q.held = std::size_t(size);
    q.size = h.size();
    q.same = [&](std::size_t i, std::size_t place) { return h[i] == s.shown(place); };
    if (s.known)
        q.known = [&](std::size_t i, std::size_t place) { return s.known(place, h[i]); };
    return alignDownload(q, cleared, d.complete);
}

} // namespace

std::string joinReason(std::size_t differing) {
    std::string text = "a later download holds both: the same memory";
    if (differing == 1)
        text += ", one record said otherwise (disputed until a download settles it)";
    else if (differing > 1)
        text += ", " + std::to_string(differing) +
                " records said otherwise (disputed until a download settles them)";
    return text;
}

std::optional<SegmentJoin> joinOf(const SegmentView& t, const SegmentView& y) {
    if (y.records == 0 || y.records > t.records)
        return std::nullopt;
    AlignmentQuestions q;
    q.held = std::size_t(t.records);
    q.size = std::size_t(y.records);
    // A record y shows, or another version y knows at its place, matches.
    q.same = [&](std::size_t i, std::size_t place) {
        const std::uint64_t there = t.shown(place);
        return y.shown(i) == there || (y.known && y.known(i, there));
    };
    if (t.known)
        q.known = [&](std::size_t i, std::size_t place) { return t.known(place, y.shown(i)); };
    const Alignment a = alignDownload(q, false, false);
    if (!fits(a) || a.start + y.records > t.records)
        return std::nullopt;
    SegmentJoin join;
    join.place = a.start;
    // What it says otherwise than the target shows: records that differ, and those that
    // match only another version said there.
    join.differing = a.differing;
    join.differing.insert(join.differing.end(), a.otherVersion.begin(), a.otherVersion.end());
    std::sort(join.differing.begin(), join.differing.end());
    return join;
}

// Whole: the plan's cases decide together where a download goes.
MergePlan planDownload(const std::vector<SegmentView>& segments, const DownloadView& d) {
    MergePlan plan;
    const std::vector<std::uint64_t>& hashes = *d.hashes;
    if (segments.empty()) {
        plan.kind = hashes.empty() ? MergePlan::Kind::Skip : MergePlan::Kind::First;
        return plan;
    }
    const std::size_t lastIndex = segments.size() - 1;
    const SegmentView& last = segments[lastIndex];
    const bool cleared = clearedSince(d, last);
    std::size_t target = lastIndex;
    std::uint64_t alignedWith = last.records;
    Alignment a = alignWith(last, last.records, cleared, d);
    // A safe download that does not follow the provisional records may follow what was
    // confirmed before them: it replaces them.
    if (!fits(a) && !cleared && d.safe && last.confirmed > 0 && last.confirmed < last.records) {
        Alignment c = alignWith(last, last.confirmed, false, d);
        if (fits(c)) {
            a = std::move(c);
            alignedWith = last.confirmed;
        }
    }
    // Records apart (a segment of provisional records only) are replaced by a download that
    // holds the places they would have stood at: one that follows the segment before them,
    // or the series' first download when they began it. One that fits neither leaves them
    // (the unit was cleared since, unknown here: they may be all that is left of what it
    // held), and starts a segment after them.
    if (!fits(a) && last.confirmed == 0 && !cleared) {
        if (lastIndex == 0)
            plan.replace = lastIndex;
        if (lastIndex > 0 && !clearedSince(d, segments[lastIndex - 1])) {
            const SegmentView& before = segments[lastIndex - 1];
            Alignment b = alignWith(before, before.records, false, d);
            std::uint64_t bWith = before.records;
            // (Records apart before them too have nothing confirmed to follow.)
            if (!fits(b) && d.safe && before.confirmed > 0 && before.confirmed < before.records) {
                Alignment c = alignWith(before, before.confirmed, false, d);
                if (fits(c)) {
                    b = std::move(c);
                    bWith = before.confirmed;
                }
            }
            if (fits(b)) {
                a = std::move(b);
                target = lastIndex - 1;
                alignedWith = bWith;
                plan.replace = lastIndex;
            }
        }
    }
    plan.alignment = std::move(a);
    if (fits(plan.alignment)) {
        plan.kind = MergePlan::Kind::Into;
        plan.target = target;
        plan.alignedWith = alignedWith;
    } else if (hashes.empty()) {
        plan.kind = MergePlan::Kind::Skip; // nothing to start a segment with
    } else {
        plan.kind = plan.replace && *plan.replace == 0 ? MergePlan::Kind::First
                                                       : MergePlan::Kind::NewSegment;
        plan.target = plan.replace ? *plan.replace : segments.size();
    }
    if (!d.safe || plan.kind == MergePlan::Kind::Skip)
        return plan;

    // Joins: segments whose first records the download holds, wholly inside the target.
    std::unordered_set<std::uint64_t> brought(hashes.begin(), hashes.end());
    const SegmentView t = targetAfter(segments, plan, d);
    for (std::size_t k = segments.size(); k-- > 0;) {
        const SegmentView& y = segments[k];
        if ((plan.kind == MergePlan::Kind::Into && k == plan.target) ||
            (plan.replace && k == *plan.replace) || y.confirmed == 0 || clearedSince(d, y))
            continue;
        if (!brought.count(y.shown(0)) && !(y.records > 1 && brought.count(y.shown(1))))
            continue;
        if (std::optional<SegmentJoin> join = joinOf(t, y)) {
            join->segment = k;
            plan.joins.push_back(std::move(*join));
        }
    }
    return plan;
}

SegmentView targetAfter(const std::vector<SegmentView>& segments, const MergePlan& plan,
                        const DownloadView& d) {
    const std::vector<std::uint64_t>& h = *d.hashes;
    SegmentView t;
    t.lastDownloadAt = d.atMs;
    if (plan.kind != MergePlan::Kind::Into) {
        t.records = h.size();
        t.shown = [&h](std::size_t place) { return h[place]; };
        return t;
    }
    const SegmentView& s = segments[plan.target];
    const std::size_t start = plan.alignment.start;
    const std::uint64_t held = plan.alignedWith;
    t.records = std::max<std::uint64_t>(held, start + h.size());
    t.confirmed = std::min(s.confirmed, held);
    t.shown = [&s, &h, start, held](std::size_t place) {
        return place < held ? s.shown(place) : h[place - start];
    };
    t.known = [&s, &h, start, held](std::size_t place, std::uint64_t hash) {
        if (place >= start && place - start < h.size() && h[place - start] == hash)
            return true;
        return place < held && s.known && s.known(place, hash);
    };
    return t;
}

} // namespace series
