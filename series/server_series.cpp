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
    QByteArray chain; // the raw chained hash after it
    int parent = -1;
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
                    const std::vector<std::string_view>& h, const std::vector<std::string_view>& d) {
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
    return alignDownload(held, d, false, true);
}

void say(Merged& m, std::size_t place, int shown, int other) {
    std::vector<int>& said = m.said[place];
    if (said.empty())
        said.push_back(shown);
    said.push_back(other);
}

// Puts one chain into the series derived so far.
void merge(const std::vector<Node>& all, std::vector<Merged>& merged, const std::vector<int>& chain) {
    const std::vector<std::string_view> d = linesOf(all, chain);
    for (std::size_t k = merged.size(); k-- > 0;) {
        Merged& m = merged[k];
        const std::vector<std::string_view> h = linesOf(all, m.nodes);
        // The chain stands at a place of the segment.
        const Alignment a = alignWith(all, m, h, d);
        if (a.kind != Alignment::Kind::NewSegment) {
            const std::size_t held = std::min(d.size(), h.size() - a.start);
            for (std::size_t i = 0; i < held; ++i) {
                const std::size_t place = a.start + i;
                if (d[i] != h[place] || m.said.count(place))
                    say(m, place, m.nodes[place], chain[i]);
            }
            if (a.kind == Alignment::Kind::Append)
                m.nodes.insert(m.nodes.end(), chain.begin() + std::ptrdiff_t(a.from), chain.end());
            return;
        }
        // The segment stands at a place of the chain (the chain holds records before it).
        Merged none;
        const Alignment b = alignWith(all, none, d, h);
        if (b.kind != Alignment::Kind::NewSegment) {
            Merged grown;
            grown.nodes.assign(chain.begin(), chain.begin() + std::ptrdiff_t(b.start));
            grown.nodes.insert(grown.nodes.end(), m.nodes.begin(), m.nodes.end());
            for (auto& [place, said] : m.said)
                grown.said[place + b.start] = std::move(said);
            const std::size_t held = std::min(h.size(), d.size() - b.start);
            for (std::size_t i = 0; i < held; ++i) {
                const std::size_t place = b.start + i;
                if (h[i] != d[place] || grown.said.count(place))
                    say(grown, place, m.nodes[i], chain[place]);
            }
            if (b.start + h.size() < d.size())
                grown.nodes.insert(grown.nodes.end(),
                                   chain.begin() + std::ptrdiff_t(b.start + h.size()), chain.end());
            m = std::move(grown);
            return;
        }
    }
    merged.push_back(Merged{chain, {}});
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
        for (std::size_t p = 0; p < parents; ++p) {
            const int parent = first ? -1 : before[p];
            Node n;
            if (!recordFromPayload(f.payload, parent < 0 ? nullptr : &nodes[std::size_t(parent)].record,
                                   n.record))
                continue;
            RecordChain chain(parent < 0 ? QByteArray() : nodes[std::size_t(parent)].chain);
            if (chain.next(n.record.line) != f.chainHash)
                continue;
            n.chain = chain.last();
            n.parent = parent;
            n.occurredAt = f.occurredAt;
            n.record.occurredAt = f.occurredAt;
            if (parent >= 0)
                nodes[std::size_t(parent)].leaf = false;
            here.push_back(int(nodes.size()));
            nodes.push_back(std::move(n));
            break;
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
