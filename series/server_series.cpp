// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/server_series.h"

#include "series/overlap.h"

#include "fleet/server_history.h"

#include <algorithm>
#include <map>
#include <utility>
#include <xxhash.h>

namespace series {

namespace {

// A shared record read back, with the chain it continues.
struct Node {
    ServerRecord record;
    QByteArray chain;        // the raw chained hash after it
    int parent = -1;         // the record before it on its own chain
    std::vector<int> others; // other records before it whose bytes its identity holds
    bool leaf = true;
    std::int64_t occurredAt = 0;
};

// A segment of the derived series: the node shown at each place, and every node said at the
// places where chains disagree.
struct Merged {
    std::vector<int> nodes;
    std::map<std::size_t, std::vector<int>> said;
};

std::vector<std::string_view> linesOf(const std::vector<Node>& all, const std::vector<int>& ids) {
    std::vector<std::string_view> out;
    out.reserve(ids.size());
    for (const int id : ids)
        out.emplace_back(all[std::size_t(id)].record.line);
    return out;
}

Alignment alignWith(const std::vector<Node>& all, const Merged& m,
                    const std::vector<std::string_view>& h,
                    const std::vector<std::string_view>& d) {
    HeldRecords held;
    held.size = h.size();
    held.at = [&h](std::size_t place) { return h[place]; };
    if (!m.said.empty())
        held.known = [&](std::size_t place, std::string_view line) {
            const auto it = m.said.find(place);
            if (it == m.said.end())
                return false;
            for (const int id : it->second)
                if (all[std::size_t(id)].record.line == line)
                    return true;
            return false;
        };
    // A laptop's segment may hold any part of a memory (it saw the memory after a wrap, or a
    // cut download): placed inside another, not only at its beginning or end.
    return alignDownload(held, d, false, false);
}

void say(Merged& m, std::size_t place, int shown, int other) {
    std::vector<int>& said = m.said[place];
    if (said.empty())
        said.push_back(shown);
    said.push_back(other);
}

// What was said at a place of `from` goes with it to `place` of `into`.
void carry(Merged& into, std::size_t place, const Merged* from, std::size_t at) {
    if (!from)
        return;
    const auto it = from->said.find(at);
    if (it == from->said.end())
        return;
    std::vector<int>& said = into.said[place];
    for (const int id : it->second)
        if (std::find(said.begin(), said.end(), id) == said.end())
            said.push_back(id);
}

// Puts `chain` (with what was said at its places, when it is a segment derived before) into
// `m` where one stands at a place of the other; false when neither does.
bool into(const std::vector<Node>& all, Merged& m, const std::vector<int>& chain,
          const Merged* chainSaid) {
    const std::vector<std::string_view> d = linesOf(all, chain);
    const std::vector<std::string_view> h = linesOf(all, m.nodes);
    // The chain stands at a place of the segment.
    const Alignment a = alignWith(all, m, h, d);
    if (a.kind != Alignment::Kind::NewSegment) {
        const std::size_t held = std::min(d.size(), h.size() - a.start);
        for (std::size_t i = 0; i < held; ++i) {
            const std::size_t place = a.start + i;
            if (d[i] != h[place] || m.said.count(place))
                say(m, place, m.nodes[place], chain[i]);
            carry(m, place, chainSaid, i);
        }
        if (a.kind == Alignment::Kind::Append)
            for (std::size_t i = a.from; i < chain.size(); ++i) {
                m.nodes.push_back(chain[i]);
                carry(m, m.nodes.size() - 1, chainSaid, i);
            }
        return true;
    }
    // The segment stands at a place of the chain (the chain holds records before it).
    Merged grown;
    if (chainSaid)
        grown.said = chainSaid->said;
    const Alignment b = alignWith(all, grown, d, h);
    if (b.kind == Alignment::Kind::NewSegment)
        return false;
    grown.nodes = chain;
    const std::size_t held = std::min(h.size(), d.size() - b.start);
    for (std::size_t i = 0; i < h.size(); ++i) {
        const std::size_t place = b.start + i;
        if (i >= held) {
            grown.nodes.push_back(m.nodes[i]);
            carry(grown, grown.nodes.size() - 1, &m, i);
            continue;
        }
        // The segment's record is shown where both hold one: it was derived first.
        grown.nodes[place] = m.nodes[i];
        if (h[i] != d[place] || grown.said.count(place) || m.said.count(i))
            say(grown, place, m.nodes[i], chain[place]);
        carry(grown, place, &m, i);
    }
    m = std::move(grown);
    return true;
}

// Puts one chain into the series derived so far; a segment it joins to another is one.
void merge(const std::vector<Node>& all, std::vector<Merged>& merged,
           const std::vector<int>& chain) {
    std::size_t took = merged.size();
    for (std::size_t k = merged.size(); k-- > 0 && took == merged.size();)
        if (into(all, merged[k], chain, nullptr))
            took = k;
    if (took == merged.size()) {
        merged.push_back(Merged{chain, {}});
        return;
    }
    for (bool joined = true; joined;) {
        joined = false;
        for (std::size_t k = 0; k < merged.size() && !joined; ++k) {
            if (k == took)
                continue;
            const Merged other = merged[k];
            if (into(all, merged[took], other.nodes, &other)) {
                merged.erase(merged.begin() + std::ptrdiff_t(k));
                if (k < took)
                    --took;
                joined = true;
            }
        }
    }
}

} // namespace

DerivedSeries deriveSeries(const std::vector<fleet::ServerSeriesRecord>& facts) {
    // The chains: each record under the record before it at its place whose chained hash it
    // continues (several where laptops disagree, or numbered their segments alike).
    std::vector<Node> nodes;
    nodes.reserve(facts.size());
    std::vector<int> before, here; // the nodes at the place before, and at this one
    std::int64_t segment = -1, position = -1;
    for (const fleet::ServerSeriesRecord& f : facts) {
        if (f.segment != segment || f.position != position) {
            if (f.segment == segment && f.position == position + 1)
                before = std::move(here);
            else
                before.clear();
            here.clear();
            segment = f.segment;
            position = f.position;
        }
        const bool first = f.position == 0;
        const std::size_t parents = first ? 1 : before.size();
        // Its identity is made with the record before it: under every record before it with
        // those bytes (after a place where laptops disagreed, their records join again), the
        // first one its own; an older version's hash chained over the records before it
        // names one.
        Node n;
        bool placed = false;
        for (std::size_t p = 0; p < parents; ++p) {
            const int parent = first ? -1 : before[p];
            const ServerRecord* above = parent < 0 ? nullptr : &nodes[std::size_t(parent)].record;
            ServerRecord record;
            if (!recordFromPayload(f.payload, above, record))
                continue;
            RecordChain chain(parent < 0 ? QByteArray() : nodes[std::size_t(parent)].chain);
            const bool byIdentity =
                recordIdentity(above ? std::string_view(above->line) : std::string_view(),
                               record.line) == f.chainHash;
            if (!byIdentity && chain.next(record.line) != f.chainHash)
                continue;
            if (parent >= 0)
                nodes[std::size_t(parent)].leaf = false;
            if (placed) {
                n.others.push_back(parent);
                continue;
            }
            if (byIdentity)
                chain.next(record.line); // the chain goes on for an older laptop's records
            n.record = std::move(record);
            n.chain = chain.last();
            n.parent = parent;
            n.occurredAt = f.occurredAt;
            n.record.occurredAt = f.occurredAt;
            placed = true;
            if (!byIdentity)
                break;
        }
        if (placed) {
            here.push_back(int(nodes.size()));
            nodes.push_back(std::move(n));
        }
    }
    // Each chain whole, from its segment's start to its last record, oldest first.
    std::vector<std::vector<int>> chains;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (!nodes[i].leaf)
            continue;
        std::vector<int> chain;
        for (int at = int(i); at >= 0; at = nodes[std::size_t(at)].parent)
            chain.push_back(at);
        std::reverse(chain.begin(), chain.end());
        chains.push_back(std::move(chain));
    }
    auto firstAt = [&](const std::vector<int>& chain) {
        std::int64_t at = nodes[std::size_t(chain.front())].occurredAt;
        for (const int id : chain)
            at = std::min(at, nodes[std::size_t(id)].occurredAt);
        return at;
    };
    // Where chains joined again after a place where laptops disagreed, the other chain's
    // records there, with enough of the records around them for the alignment to place
    // them (one in a hundred may differ).
    {
        constexpr std::size_t kAround = 150;
        std::vector<int> firstChild(nodes.size(), -1);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            if (nodes[i].parent >= 0 && firstChild[std::size_t(nodes[i].parent)] < 0)
                firstChild[std::size_t(nodes[i].parent)] = int(i);
        for (std::size_t i = 0; i < nodes.size(); ++i)
            for (const int other : nodes[i].others) {
                std::vector<int> up; // from the other record up to kAround past where they meet
                std::size_t past = 0;
                for (int a = nodes[i].parent, b = other; b >= 0 && past < kAround;) {
                    up.push_back(b);
                    if (a == b)
                        ++past;
                    a = a >= 0 ? nodes[std::size_t(a)].parent : -1;
                    b = nodes[std::size_t(b)].parent;
                }
                std::vector<int> chain(up.rbegin(), up.rend());
                for (int at = int(i); at >= 0 && chain.size() < up.size() + kAround;
                     at = firstChild[std::size_t(at)])
                    chain.push_back(at);
                chains.push_back(std::move(chain));
            }
    }
    std::stable_sort(chains.begin(), chains.end(),
                     [&](const auto& a, const auto& b) { return firstAt(a) < firstAt(b); });
    std::vector<Merged> merged;
    for (const std::vector<int>& chain : chains)
        merge(nodes, merged, chain);
    std::stable_sort(merged.begin(), merged.end(), [&](const Merged& a, const Merged& b) {
        return firstAt(a.nodes) < firstAt(b.nodes);
    });

    DerivedSeries out;
    for (const Merged& m : merged) {
        const int seq = out.segments++;
        const std::size_t begin = out.records.size();
        for (std::size_t place = 0; place < m.nodes.size(); ++place) {
            DerivedRecord r;
            int shown = m.nodes[place];
            const auto said = m.said.find(place);
            if (said != m.said.end()) {
                std::vector<Statement> st;
                for (const int id : said->second)
                    st.push_back({nodes[std::size_t(id)].record.line, true});
                const int settled = settledStatement(st);
                if (settled >= 0)
                    shown = said->second[std::size_t(settled)];
                r.disputed = settled < 0;
                out.disputed += r.disputed;
            }
            r.record = nodes[std::size_t(shown)].record;
            r.record.segment = seq;
            r.record.position = place;
            out.records.push_back(std::move(r));
        }
        // Equal bytes after equal bytes at two places: both flagged.
        std::vector<std::pair<std::uint64_t, std::size_t>> keys;
        keys.reserve(m.nodes.size());
        std::string pair;
        for (std::size_t i = begin; i < out.records.size(); ++i) {
            pair.assign(i > begin ? out.records[i - 1].record.line : std::string());
            pair += '\n';
            pair += out.records[i].record.line;
            keys.emplace_back(XXH3_64bits(pair.data(), pair.size()), i);
        }
        std::sort(keys.begin(), keys.end());
        auto same = [&](std::size_t a, std::size_t b) {
            return out.records[a].record.line == out.records[b].record.line &&
                   (a > begin) == (b > begin) &&
                   (a == begin || out.records[a - 1].record.line == out.records[b - 1].record.line);
        };
        for (std::size_t k = 1; k < keys.size(); ++k)
            if (keys[k].first == keys[k - 1].first && same(keys[k].second, keys[k - 1].second)) {
                for (const std::size_t i : {keys[k].second, keys[k - 1].second})
                    if (!out.records[i].repeated) {
                        out.records[i].repeated = true;
                        ++out.repeated;
                    }
            }
    }
    return out;
}

bool ServerSeries::read(const std::string& conninfo, const std::string& serial,
                        const std::string& name, int ordinal, std::string& why) {
    const fleet::ServerSeries held = fleet::readSeriesRecords(
        conninfo, QString::fromLatin1(serial.data(), qsizetype(serial.size())),
        sharedDataSet(name, ordinal));
    if (!held.ok) {
        why = held.message.toStdString();
        return false;
    }
    m_notes.clear();
    m_info = SeriesInfo{};
    m_info.serial = serial;
    m_info.name = name;
    m_info.ordinal = ordinal;
    m_series = deriveSeries(held.records);
    m_info.segments = m_series.segments;
    m_info.records = m_series.records.size();
    m_info.disputed = m_series.disputed;
    for (const DerivedRecord& d : m_series.records) {
        const ServerRecord& r = d.record;
        m_info.bytes += r.line.size();
        if (r.usualInterval > 0)
            m_info.usualInterval = r.usualInterval;
        for (const std::string& text : r.notes)
            m_notes.push_back(Note{r.segment + 1, r.position + 1, text, r.download});
    }
    m_clockSets.clear();
    for (const fleet::ServerClockSet& c : held.clockSets)
        m_clockSets.push_back({c.atMs, c.utcOffsetSeconds, c.sent.toLatin1().toStdString()});
    if (m_series.records.empty()) {
        why = "the server holds no records of unit " + serial + ", data set " + name;
        return false;
    }
    return true;
}

RecordSource ServerSeries::source() const {
    return {m_info, m_notes,
            [this](const std::function<bool(const RecordRef&)>& each) {
                RecordRef ref;
                for (const DerivedRecord& d : m_series.records) {
                    const ServerRecord& r = d.record;
                    ref.segment = r.segment + 1;
                    ref.index = r.position;
                    ref.line = r.line;
                    ref.timeFlags = r.timeFlags;
                    ref.provisional = false; // only confirmed records are shared
                    ref.disputed = d.disputed;
                    ref.repeated = d.repeated;
                    ref.offsetSeconds = r.offsetSeconds;
                    ref.dateOrder = r.dateOrder;
                    ref.download = &r.download;
                    ref.downloadAtMs = r.occurredAt;
                    if (!each(ref))
                        return false;
                }
                return true;
            },
            m_clockSets};
}

} // namespace series
