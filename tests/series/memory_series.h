// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series held in memory that takes downloads by the merge's plan (series_merge.h), as the
// store applies it: what each download said at a place where they differ, the place showing
// the settled line, records apart replaced, copies joined. The store's own application is
// tested through it in the store's tests and the histories; this one lets a test sweep
// thousands of small histories in seconds.
#include "series/download_records.h"
#include "series/series_merge.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct MemorySegment {
    std::vector<std::string> lines; // what each place shows
    std::vector<std::uint64_t> hashes;
    std::size_t confirmed = 0;
    std::int64_t lastDownloadAt = 0;
    std::map<std::size_t, std::vector<series::Statement>> said; // once disputed
};

class MemorySeries {
public:
    std::vector<MemorySegment> segments;
    std::vector<std::int64_t> clears;

    series::MergePlan take(const std::vector<std::string>& d, bool safe, bool complete = true) {
        std::vector<std::uint64_t> hashes;
        for (const std::string& line : d)
            hashes.push_back(series::recordHash(line));
        return take(d, hashes, safe, complete);
    }
    // The same with the records' hashes worked out by the caller.
    series::MergePlan take(const std::vector<std::string>& d,
                           const std::vector<std::uint64_t>& hashes, bool safe,
                           bool complete = true) {
        at += 1000;
        std::vector<series::SegmentView> views(segments.size());
        for (std::size_t k = 0; k < segments.size(); ++k) {
            MemorySegment& s = segments[k];
            views[k].records = s.lines.size();
            views[k].confirmed = s.confirmed;
            views[k].lastDownloadAt = s.lastDownloadAt;
            views[k].shown = [&s](std::size_t p) { return s.hashes[p]; };
            views[k].known = [&s](std::size_t p, std::uint64_t h) {
                const auto it = s.said.find(p);
                if (it == s.said.end())
                    return false;
                for (const series::Statement& st : it->second)
                    if (series::recordHash(st.line) == h)
                        return true;
                return false;
            };
        }
        series::DownloadView view{&hashes, at, safe, complete, clears};
        const series::MergePlan plan = series::planDownload(views, view);
        views.clear();
        using K = series::MergePlan::Kind;
        std::size_t target = plan.target;
        if (plan.replace)
            segments.erase(segments.begin() + std::ptrdiff_t(*plan.replace));
        if (plan.kind == K::Skip)
            return plan;
        if (plan.kind == K::First || plan.kind == K::NewSegment) {
            MemorySegment s;
            for (const std::string& line : d)
                add(s, line);
            s.confirmed = safe ? d.size() : 0;
            s.lastDownloadAt = at;
            segments.push_back(std::move(s));
            target = segments.size() - 1;
        } else {
            MemorySegment& t = segments[target];
            const series::Alignment& a = plan.alignment;
            if (plan.alignedWith < t.lines.size()) {
                t.lines.resize(plan.alignedWith);
                t.hashes.resize(plan.alignedWith);
                t.said.erase(t.said.lower_bound(plan.alignedWith), t.said.end());
                t.confirmed = std::min(t.confirmed, std::size_t(plan.alignedWith));
            }
            const std::size_t held = std::min(d.size(), t.lines.size() - a.start);
            for (std::size_t i = 0; i < held; ++i)
                say(t, a.start + i, d[i], safe);
            // A safe download confirms what it holds, and what it adds after records all
            // confirmed.
            if (safe)
                t.confirmed = std::max(t.confirmed, a.start + held);
            const bool allConfirmed = t.confirmed == t.lines.size();
            if (a.kind == series::Alignment::Kind::Append)
                for (std::size_t i = a.from; i < d.size(); ++i)
                    add(t, d[i]);
            if (safe && allConfirmed)
                t.confirmed = t.lines.size();
            t.lastDownloadAt = at;
        }
        for (const series::SegmentJoin& j : plan.joins) { // by descending index
            MemorySegment y = segments[j.segment];
            MemorySegment& t = segments[target];
            for (std::size_t i = 0; i < y.lines.size(); ++i) {
                const auto ys = y.said.find(i);
                if (ys == y.said.end()) {
                    say(t, j.place + i, y.lines[i], i < y.confirmed);
                    continue;
                }
                for (const series::Statement& st : ys->second)
                    say(t, j.place + i, std::string(st.line), st.safe, true);
            }
            segments.erase(segments.begin() + std::ptrdiff_t(j.segment));
            --target;
        }
        return plan;
    }

    bool disputed(const MemorySegment& s, std::size_t place) const {
        const auto it = s.said.find(place);
        return it != s.said.end() && series::settledStatement(it->second) < 0;
    }
    std::size_t disputedPlaces() const {
        std::size_t n = 0;
        for (const MemorySegment& s : segments)
            for (const auto& entry : s.said)
                n += disputed(s, entry.first);
        return n;
    }
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (const MemorySegment& s : segments)
            out.insert(out.end(), s.lines.begin(), s.lines.end());
        return out;
    }

private:
    static void add(MemorySegment& s, const std::string& line) {
        s.lines.push_back(line);
        s.hashes.push_back(series::recordHash(line));
    }
    // A statement at a place: kept once the place is disputed (the line held first counting
    // once, safe where confirmed); the place shows the settled line. `always`: a statement
    // carried from a joined segment's versions.
    void say(MemorySegment& t, std::size_t place, const std::string& line, bool safe,
             bool always = false) {
        auto it = t.said.find(place);
        if (it == t.said.end() && line == t.lines[place] && !always)
            return;
        std::vector<series::Statement>& said = t.said[place];
        if (said.empty())
            said.push_back({keep(t.lines[place]), place < t.confirmed});
        said.push_back({keep(line), safe});
        const int settled = series::settledStatement(said);
        if (settled >= 0) {
            t.lines[place] = std::string(said[std::size_t(settled)].line);
            t.hashes[place] = series::recordHash(t.lines[place]);
        }
    }
    std::string_view keep(const std::string& line) {
        kept.push_back(std::make_unique<std::string>(line));
        return *kept.back();
    }
    std::vector<std::unique_ptr<std::string>> kept;
    std::int64_t at = 1'000'000;
};

} // namespace testsupport
