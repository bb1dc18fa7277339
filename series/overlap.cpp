// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/overlap.h"

#include <algorithm>

namespace series {

namespace {

// d placed at h's place `start`: whether it is the same memory there, and where it differs.
struct Trial {
    bool ok = true;
    std::size_t overlap = 0;
    std::size_t firstMismatch = static_cast<std::size_t>(-1); // index in d
    std::vector<std::size_t> differing, other;
    std::string why; // when not ok, for the operator
};

std::string recordNumber(std::size_t index) {
    return std::to_string(index + 1);
}

Trial tryPlace(const AlignmentQuestions& q, std::size_t start) {
    Trial t;
    t.overlap = std::min(q.size, q.held - start);
    for (std::size_t i = 0; i < t.overlap; ++i) {
        if (q.same(i, start + i))
            continue;
        if (q.known && q.known(i, start + i)) {
            t.other.push_back(i);
            continue;
        }
        if (t.firstMismatch == static_cast<std::size_t>(-1))
            t.firstMismatch = i;
        if (!t.differing.empty() && i - t.differing.back() <= kIsolation) {
            t.ok = false;
            t.why = "differs at records " + recordNumber(t.differing.back()) + " and " +
                    recordNumber(i) + ", fewer than " + std::to_string(kIsolation) +
                    " records apart";
            return t;
        }
        t.differing.push_back(i);
        if (t.differing.size() > differencesTolerated(t.overlap)) {
            t.ok = false;
            if (t.differing.size() == 1 && t.overlap < kMinEvidence)
                t.why = "differs at record " + recordNumber(i) + ", the only record held there";
            else if (t.differing.size() == 1)
                t.why = "differs at record " + recordNumber(i);
            else
                t.why = "differs at " + std::to_string(t.differing.size()) + " of the " +
                        std::to_string(t.overlap) + " records held, more than " +
                        std::to_string(differencesTolerated(t.overlap)) + " (first at record " +
                        recordNumber(t.differing.front()) + ")";
            return t;
        }
    }
    // The last differing record needs its matching records after it, unless d ends first.
    if (!t.differing.empty() && t.overlap < q.size &&
        t.overlap - 1 - t.differing.back() < kIsolation) {
        t.ok = false;
        t.why = "differs at record " + recordNumber(t.differing.back()) + ", fewer than " +
                std::to_string(kIsolation) + " records before the records held end";
    }
    return t;
}

} // namespace

Alignment alignDownload(const AlignmentQuestions& q, bool clearedSince, bool dComplete) {
    Alignment out;
    const std::size_t n = q.held;
    if (n == 0) {
        out.kind = Alignment::Kind::Append;
        return out;
    }
    if (clearedSince) {
        out.kind = Alignment::Kind::NewSegment;
        out.afterClear = true;
        out.reason = "the unit was cleared";
        return out;
    }
    auto take = [&](Trial& t, std::size_t start) {
        out.start = start;
        out.differing = std::move(t.differing);
        out.otherVersion = std::move(t.other);
        if (start + q.size >= n) {
            out.kind = Alignment::Kind::Append;
            out.from = n - start;
            out.wrapped = start > 0;
        } else {
            out.kind = Alignment::Kind::Nothing;
            out.fewer = dComplete;
            out.wrapped = start > 0;
        }
        return out;
    };
    Trial atStart = tryPlace(q, 0);
    // A complete d that would stand at place 0 with records that differ and end before h's end
    // (the unit holding fewer records, one changed) is less likely than a memory that wrapped:
    // a wrap place where d matches wholly goes first.
    const bool fewerWithDifferences =
        atStart.ok && dComplete && q.size < n && !atStart.differing.empty();
    if (atStart.ok && !fewerWithDifferences)
        return take(atStart, 0);
    // The wrap: the places in h that hold d's first record, the earliest (largest k) first,
    // where d reaches h's end; a cut d may end before it.
    const std::size_t m = std::min(n, q.size);
    if (m >= kWrapOverlap) {
        const std::size_t earliest = dComplete ? n - m : 1;
        for (std::size_t t = std::max<std::size_t>(earliest, 1); t + kWrapOverlap <= n; ++t) {
            // d's first record, or its second where the first is the one that differs.
            auto holds = [&](std::size_t i, std::size_t place) {
                return q.same(i, place) || (q.known && q.known(i, place));
            };
            if (!holds(0, t) && !holds(1, t + 1))
                continue;
            Trial wrap = tryPlace(q, t);
            if (wrap.ok && (!fewerWithDifferences || wrap.differing.empty()))
                return take(wrap, t);
        }
    }
    if (fewerWithDifferences)
        return take(atStart, 0);
    out.kind = Alignment::Kind::NewSegment;
    out.differsAt = atStart.firstMismatch == static_cast<std::size_t>(-1)
                        ? atStart.overlap + 1
                        : atStart.firstMismatch + 1;
    out.reason = atStart.why;
    return out;
}

int settledStatement(const std::vector<Statement>& said) {
    bool anySafe = false;
    for (const Statement& s : said)
        anySafe = anySafe || s.safe;
    int best = -1;
    std::size_t bestCount = 0;
    bool tie = false;
    for (std::size_t i = 0; i < said.size(); ++i) {
        if (anySafe && !said[i].safe)
            continue;
        bool seen = false;
        for (std::size_t k = 0; k < i && !seen; ++k)
            seen = (!anySafe || said[k].safe) && said[k].line == said[i].line;
        if (seen)
            continue;
        std::size_t count = 0;
        for (std::size_t k = i; k < said.size(); ++k)
            count += (!anySafe || said[k].safe) && said[k].line == said[i].line;
        if (count > bestCount) {
            best = static_cast<int>(i);
            bestCount = count;
            tie = false;
        } else if (count == bestCount) {
            tie = true;
        }
    }
    return tie ? -1 : best;
}

Alignment alignDownload(const HeldRecords& h, const std::vector<std::string_view>& d,
                        bool clearedSince, bool dComplete) {
    AlignmentQuestions q;
    q.held = h.size;
    q.size = d.size();
    q.same = [&](std::size_t i, std::size_t place) { return d[i] == h.at(place); };
    if (h.known)
        q.known = [&](std::size_t i, std::size_t place) { return h.known(place, d[i]); };
    return alignDownload(q, clearedSince, dComplete);
}

Alignment alignDownload(const std::vector<std::string_view>& h,
                        const std::vector<std::string_view>& d, bool clearedSince, bool dComplete) {
    HeldRecords held;
    held.size = h.size();
    held.at = [&h](std::size_t place) { return h[place]; };
    return alignDownload(held, d, clearedSince, dComplete);
}

} // namespace series
