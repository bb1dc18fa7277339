// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/server_series.h"

#include "series/learnt_clock_sets.h"
#include "series/overlap.h"

#include "fleet/fact.h"
#include "fleet/server_history.h"

#include <QJsonDocument>

#include <algorithm>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <xxhash.h>

namespace series {

namespace {

// The deadline of one deriving: asked often, the clock read at every 1024th ask; once spent,
// spent for good.
class Budget {
public:
    explicit Budget(std::chrono::milliseconds most)
        : m_deadline(std::chrono::steady_clock::now() + most) {}
    bool spent() {
        if (!m_spent && (m_asks++ & 1023) == 0)
            m_spent = std::chrono::steady_clock::now() > m_deadline;
        return m_spent;
    }

private:
    std::chrono::steady_clock::time_point m_deadline;
    unsigned m_asks = 0;
    bool m_spent = false;
};

// A shared record read back, with the chain it continues.
struct Node {
    ServerRecord record;
    int parent = -1;         // the record before it on its own chain
    std::vector<int> others; // other records before it whose bytes its identity holds
    bool leaf = true;
    std::int64_t occurredAt = 0;
    fleet::ServerSeen seen; // when the server received it: what orders the chains
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

// A record's key: its identity (128 bits) and occurrence.
struct Key {
    std::uint64_t hi = 0, lo = 0;
    std::int64_t occurrence = 0;
    bool operator==(const Key& o) const {
        return hi == o.hi && lo == o.lo && occurrence == o.occurrence;
    }
};
struct KeyHash {
    std::size_t operator()(const Key& k) const {
        return std::size_t(k.lo ^ (k.hi * 0x9E3779B97F4A7C15ull) ^ std::uint64_t(k.occurrence));
    }
};

bool hexHalf(const QChar* text, std::uint64_t& v) {
    v = 0;
    for (int i = 0; i < 16; ++i) {
        const char16_t c = text[i].unicode();
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            return false;
        v = v << 4 | std::uint64_t(d);
    }
    return true;
}

bool keyOf(const QString& identity, std::int64_t occurrence, Key& k) {
    k.occurrence = occurrence;
    return identity.size() == int(kIdentityHexSize) && hexHalf(identity.constData(), k.hi) &&
           hexHalf(identity.constData() + 16, k.lo);
}

// The nodes of keyed facts: each under the record before it that its laptop names (the
// first one received where several rows hold that key), when the record before it has the
// bytes its identity was made with; the other such rows are `others`.
// Whole: the links, the cut loops and the payloads read share the nodes as they are made.
std::vector<Node> linkFacts(const std::vector<fleet::ServerSeriesRecord>& facts, Budget& budget,
                            std::vector<std::pair<std::size_t, std::string>>& unread) {
    const std::size_t n = facts.size();
    std::vector<Key> keys(n);
    std::vector<bool> valid(n, false);
    std::vector<std::string> lines(n);
    std::unordered_map<Key, std::vector<int>, KeyHash> byKey;
    byKey.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const QJsonValue line = facts[i].payload.value(QStringLiteral("line"));
        valid[i] = line.isString() && keyOf(facts[i].chainHash, facts[i].occurrence, keys[i]);
        if (!valid[i]) {
            unread.emplace_back(i, "series record: no line, or its identity not one");
            continue;
        }
        lines[i] = line.toString().toLatin1().toStdString();
        byKey[keys[i]].push_back(int(i));
    }
    std::vector<int> parent(n, -1);
    std::vector<std::vector<int>> others(n);
    char hex[kIdentityHexSize];
    for (std::size_t i = 0; i < n; ++i) {
        if (!valid[i])
            continue;
        if (budget.spent())
            return {};
        Key after;
        if (facts[i].after.isEmpty() || !keyOf(facts[i].after, facts[i].afterOccurrence, after)) {
            recordIdentity({}, lines[i], hex);
            valid[i] = QLatin1String(hex, kIdentityHexSize) == facts[i].chainHash;
            if (!valid[i])
                unread.emplace_back(i, "series record: its identity is not that of its line");
            continue;
        }
        const auto found = byKey.find(after);
        if (found == byKey.end())
            continue; // the record before it is not on the server: a chain starts here
        bool made = false;
        for (const int p : found->second) {
            if (std::size_t(p) == i)
                continue;
            if (!made) {
                recordIdentity(lines[std::size_t(p)], lines[i], hex);
                if (QLatin1String(hex, kIdentityHexSize) != facts[i].chainHash)
                    break; // all rows of a key hold the same bytes
                made = true;
            }
            // Its own laptop's record before it first.
            const bool own = facts[std::size_t(p)].laptop == facts[i].laptop;
            if (parent[i] < 0) {
                parent[i] = p;
            } else if (own && facts[std::size_t(parent[i])].laptop != facts[i].laptop) {
                others[i].push_back(parent[i]);
                parent[i] = p;
            } else {
                others[i].push_back(p);
            }
        }
    }
    // No record is its own ancestor: a loop (rows that name each other) is cut where it closes.
    std::vector<char> state(n, 0); // 0 not seen, 1 on the walk, 2 done
    std::vector<int> walk;
    for (std::size_t i = 0; i < n; ++i) {
        for (int at = int(i); at >= 0 && state[std::size_t(at)] == 0;) {
            state[std::size_t(at)] = 1;
            walk.push_back(at);
            const int up = parent[std::size_t(at)];
            if (up >= 0 && state[std::size_t(up)] == 1)
                parent[std::size_t(at)] = -1;
            at = parent[std::size_t(at)];
        }
        for (const int w : walk)
            state[std::size_t(w)] = 2;
        walk.clear();
    }
    // Payloads read from each chain's start: what "info" leaves out comes from the record
    // before. A record whose payload is no record's is left out, and a chain starts after it.
    std::vector<int> index(n, -1); // in `nodes`
    std::vector<Node> nodes;
    nodes.reserve(n);
    std::vector<char> read(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (int at = int(i); at >= 0 && !read[std::size_t(at)]; at = parent[std::size_t(at)])
            walk.push_back(at);
        for (auto w = walk.rbegin(); w != walk.rend(); ++w) {
            const std::size_t at = std::size_t(*w);
            read[at] = 1;
            if (!valid[at])
                continue;
            const int up = parent[at] >= 0 ? index[std::size_t(parent[at])] : -1;
            Node node;
            auto record = recordFromPayload(facts[at].payload,
                                            up >= 0 ? &nodes[std::size_t(up)].record : nullptr);
            if (!record) {
                unread.emplace_back(at, "series record: " + record.text());
                continue;
            }
            node.record = std::move(*record);
            node.parent = up;
            node.occurredAt = facts[at].occurredAt;
            node.seen = facts[at].seen;
            node.record.occurredAt = facts[at].occurredAt;
            index[at] = int(nodes.size());
            nodes.push_back(std::move(node));
        }
        walk.clear();
    }
    for (std::size_t i = 0; i < n; ++i) {
        const int me = index[i];
        if (me < 0)
            continue;
        if (nodes[std::size_t(me)].parent >= 0)
            nodes[std::size_t(nodes[std::size_t(me)].parent)].leaf = false;
        for (const int o : others[i])
            if (index[std::size_t(o)] >= 0) {
                nodes[std::size_t(me)].others.push_back(index[std::size_t(o)]);
                nodes[std::size_t(index[std::size_t(o)])].leaf = false;
            }
    }
    // The "others" walk follows parents: an other that is the node's own descendant would
    // never meet it, and is dropped.
    for (Node& node : nodes) {
        if (budget.spent())
            return {};
        std::vector<int> kept;
        for (const int o : node.others) {
            bool below = false;
            for (int at = o; at >= 0 && !below; at = nodes[std::size_t(at)].parent)
                below = &nodes[std::size_t(at)] == &node;
            if (!below)
                kept.push_back(o);
        }
        node.others = std::move(kept);
    }
    return nodes;
}

} // namespace

// Whole: the chains' walk and their numbering share the forest they make.
std::vector<fleet::ServerSeriesRecord>
factsOfPlaces(const std::vector<fleet::ServerSeriesRecord>& facts) {
    // Each laptop's segment place by place: each record under the record before it at its
    // place whose chained hash it continues, or whose bytes its identity was made with.
    struct Placed {
        std::size_t fact;
        std::string line;
        QByteArray chain; // the raw chained hash after it
        int parent = -1;
        std::vector<int> others;
    };
    std::vector<Placed> placed;
    placed.reserve(facts.size());
    std::vector<int> before, here;
    std::int64_t segment = -1, position = -1;
    for (std::size_t k = 0; k < facts.size(); ++k) {
        const fleet::ServerSeriesRecord& f = facts[k];
        if (f.segment != segment || f.position != position) {
            if (f.segment == segment && f.position == position + 1)
                before = std::move(here);
            else
                before.clear();
            here.clear();
            segment = f.segment;
            position = f.position;
        }
        const QJsonValue lineValue = f.payload.value(QStringLiteral("line"));
        if (!lineValue.isString())
            continue;
        const std::string line = lineValue.toString().toLatin1().toStdString();
        const bool first = f.position == 0;
        const std::size_t parents = first ? 1 : before.size();
        Placed n{k, line, {}, -1, {}};
        bool found = false;
        for (std::size_t p = 0; p < parents; ++p) {
            const int up = first ? -1 : before[p];
            const std::string_view above =
                up < 0 ? std::string_view() : std::string_view(placed[std::size_t(up)].line);
            RecordChain chain(up < 0 ? QByteArray() : placed[std::size_t(up)].chain);
            const bool byIdentity = recordIdentity(above, line) == f.chainHash;
            if (!byIdentity && chain.next(line) != f.chainHash)
                continue;
            if (found) {
                n.others.push_back(up);
                continue;
            }
            if (byIdentity)
                chain.next(line); // the chain goes on for an older laptop's records
            n.chain = chain.last();
            n.parent = up;
            found = true;
            if (!byIdentity)
                break;
        }
        if (found) {
            here.push_back(int(placed.size()));
            placed.push_back(std::move(n));
        }
    }
    // Identities and occurrences along each chain from its start, as its laptop counted them.
    const std::size_t n = placed.size();
    // Which record is on another's chain: each chain's records numbered in a walk of the
    // forest (a record holds, in [enter, leave), every record after it on its chains).
    std::vector<std::vector<int>> children(n);
    for (std::size_t i = 0; i < n; ++i)
        if (placed[i].parent >= 0)
            children[std::size_t(placed[i].parent)].push_back(int(i));
    std::vector<std::size_t> enter(n), leave(n);
    {
        std::size_t tick = 0;
        std::vector<std::pair<int, std::size_t>> stack;
        for (std::size_t r = 0; r < n; ++r) {
            if (placed[r].parent >= 0)
                continue;
            stack.emplace_back(int(r), 0);
            enter[r] = tick++;
            while (!stack.empty()) {
                auto& [at, next] = stack.back();
                if (next < children[std::size_t(at)].size()) {
                    const int c = children[std::size_t(at)][next++];
                    enter[std::size_t(c)] = tick++;
                    stack.emplace_back(c, 0);
                } else {
                    leave[std::size_t(at)] = tick;
                    stack.pop_back();
                }
            }
        }
    }
    std::vector<QString> identity(n);
    std::vector<std::uint64_t> key(n);
    std::vector<std::int64_t> occurrence(n, 0);
    std::map<std::uint64_t, std::vector<int>> byKey;
    for (std::size_t i = 0; i < n; ++i) {
        const int up = placed[i].parent;
        identity[i] = recordIdentity(up < 0 ? std::string_view() : placed[std::size_t(up)].line,
                                     placed[i].line);
        key[i] = identity[i].left(16).toULongLong(nullptr, 16);
        std::vector<int>& same = byKey[key[i]];
        // The records before it on its chain with this key.
        for (const int o : same)
            occurrence[i] += enter[std::size_t(o)] < enter[i] && leave[i] <= leave[std::size_t(o)];
        same.push_back(int(i));
    }
    std::vector<fleet::ServerSeriesRecord> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        fleet::ServerSeriesRecord r = facts[placed[i].fact];
        r.chainHash = identity[i];
        r.occurrence = occurrence[i];
        std::vector<int> ups{placed[i].parent};
        ups.insert(ups.end(), placed[i].others.begin(), placed[i].others.end());
        for (const int up : ups) {
            r.after = up < 0 ? QString() : identity[std::size_t(up)];
            r.afterOccurrence = up < 0 ? 0 : occurrence[std::size_t(up)];
            out.push_back(r);
        }
    }
    return out;
}

// Whole: one transaction keying older rows, the statements in the order they must run.
bool keyOlderRecords(fleet::PgConnection& c, std::chrono::milliseconds timeout, QString& told) {
    using fleet::PgParam;
    fleet::PgResult sets = c.exec("SELECT DISTINCT unit, data_set FROM xrq.series_records "
                                  "ORDER BY 1, 2",
                                  {}, timeout);
    if (!sets.ok()) {
        told = QString::fromStdString(sets.error());
        return false;
    }
    long long added = 0, rows = 0;
    for (int s = 0; s < sets.rows(); ++s) {
        const std::string unit = sets.value(s, 0), dataSet = sets.value(s, 1);
        const fleet::PgResult r =
            c.exec("SELECT segment, position, chain_hash, laptop, payload::text, " +
                       fleet::msSql("occurred_at") +
                       ", coalesce(laptop_id::text, '') "
                       "FROM xrq.series_records WHERE unit = $1 AND data_set = $2 "
                       "ORDER BY segment, position, arrival",
                   {PgParam::text(unit), PgParam::text(dataSet)}, timeout);
        if (!r.ok()) {
            told = QString::fromStdString(r.error());
            return false;
        }
        std::vector<fleet::ServerSeriesRecord> old;
        old.reserve(std::size_t(r.rows()));
        constexpr std::int64_t kMost = std::numeric_limits<std::int64_t>::max();
        for (int i = 0; i < r.rows(); ++i) {
            // A row whose place or time cannot be read is not keyed: it stays where it is.
            const auto segment = fleet::integerAt(r, i, 0, 0, kMost);
            const auto position = fleet::integerAt(r, i, 1, 0, kMost);
            const auto at = fleet::msAt(r, i, 5);
            if (!segment || !position || !at)
                continue;
            fleet::ServerSeriesRecord rec;
            rec.segment = *segment;
            rec.position = *position;
            rec.chainHash = QString::fromStdString(r.value(i, 2));
            rec.laptop = QString::fromStdString(r.value(i, 3));
            rec.payload =
                QJsonDocument::fromJson(QByteArray::fromStdString(r.value(i, 4))).object();
            rec.occurredAt = *at;
            rec.laptopId = QString::fromStdString(r.value(i, 6));
            old.push_back(std::move(rec));
        }
        rows += r.rows();
        const std::vector<fleet::ServerSeriesRecord> keyed = factsOfPlaces(old);
        constexpr std::size_t kBatch = 5000;
        for (std::size_t from = 0; from < keyed.size(); from += kBatch) {
            QByteArray json = "[";
            for (std::size_t i = from; i < std::min(keyed.size(), from + kBatch); ++i) {
                const fleet::ServerSeriesRecord& k = keyed[i];
                if (i > from)
                    json += ',';
                json += "{\"id\":";
                fleet::appendJsonString(json, k.chainHash);
                json += ",\"n\":" + QByteArray::number(qint64(k.occurrence)) + ",\"a\":";
                fleet::appendJsonString(json, k.after);
                json += ",\"b\":" + QByteArray::number(qint64(k.afterOccurrence)) +
                        ",\"s\":" + QByteArray::number(qint64(k.segment)) +
                        ",\"p\":" + QByteArray::number(qint64(k.position)) +
                        ",\"t\":" + QByteArray::number(qint64(k.occurredAt)) + ",\"l\":";
                fleet::appendJsonString(json, k.laptop);
                json += ",\"i\":";
                fleet::appendJsonString(json, k.laptopId);
                json += ",\"j\":";
                fleet::appendPayload(json, k.payload);
                json += '}';
            }
            json += ']';
            const fleet::PgResult in = c.exec(
                "INSERT INTO xrq.series_facts (unit, data_set, identity, occurrence, after, "
                "after_occurrence, segment, position, occurred_at, laptop, laptop_id, payload) "
                "SELECT $1, $2, x.id, x.n, x.a, x.b, x.s, x.p, "
                "pg_catalog.to_timestamp(x.t / 1000.0), x.l, NULLIF(x.i, '')::uuid, "
                "x.j FROM pg_catalog.jsonb_to_recordset($3::jsonb) AS x(id text, n bigint, "
                "a text, b bigint, s bigint, p bigint, t bigint, l text, i text, j jsonb) "
                "ON CONFLICT DO NOTHING",
                {PgParam::text(unit), PgParam::text(dataSet), PgParam::text(json.toStdString())},
                timeout);
            if (!in.ok()) {
                told = QString::fromStdString(in.error());
                return false;
            }
            added += in.affected();
        }
    }
    if (rows > 0)
        told = QStringLiteral("%1 series records older versions pushed keyed beside them (%2 "
                              "new)")
                   .arg(rows)
                   .arg(added);
    return true;
}

// Whole: the chains, their order and the joins share one budget and one set of nodes.
DerivedSeries deriveSeries(const std::vector<fleet::ServerSeriesRecord>& facts,
                           const DeriveBounds& bounds) {
    DerivedSeries out;
    Budget budget(bounds.mostTime);
    std::vector<Node> nodes = linkFacts(facts, budget, out.unread);
    auto tooLong = [&] {
        out.failed = "deriving the series took too long (over " +
                     std::to_string(bounds.mostTime.count() / 1000) + " s, " +
                     std::to_string(facts.size()) + " facts)";
        return out;
    };
    if (budget.spent())
        return tooLong();
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
        if (chains.size() > bounds.mostChains || budget.spent())
            break;
    }
    auto tooMany = [&] {
        out.failed = "too many chains to put together (over " + std::to_string(bounds.mostChains) +
                     ", from " + std::to_string(facts.size()) + " facts)";
        return out;
    };
    if (chains.size() > bounds.mostChains)
        return tooMany();
    if (budget.spent())
        return tooLong();
    // A chain's place among the others: when the server first received a record of it, never
    // a time its laptop chose (a laptop's clock set to 1970 must not put its chain first).
    auto firstAt = [&](const std::vector<int>& chain) {
        fleet::ServerSeen at = nodes[std::size_t(chain.front())].seen;
        for (const int id : chain)
            at = std::min(at, nodes[std::size_t(id)].seen);
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
        // A record that is only another's "other" (a laptop's chain whose records after it
        // another laptop pushed first, under its own record before) goes on there: without
        // it the records around a short side chain would end at it, too few to place.
        for (std::size_t i = 0; i < nodes.size(); ++i)
            for (const int other : nodes[i].others)
                if (firstChild[std::size_t(other)] < 0)
                    firstChild[std::size_t(other)] = int(i);
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
                if (chains.size() > bounds.mostChains)
                    return tooMany();
            }
    }
    std::stable_sort(chains.begin(), chains.end(),
                     [&](const auto& a, const auto& b) { return firstAt(a) < firstAt(b); });
    std::vector<Merged> merged;
    for (const std::vector<int>& chain : chains) {
        if (budget.spent())
            return tooLong();
        merge(nodes, merged, chain);
    }
    std::stable_sort(merged.begin(), merged.end(), [&](const Merged& a, const Merged& b) {
        return firstAt(a.nodes) < firstAt(b.nodes);
    });

    for (const Merged& m : merged) {
        const int seq = out.segments++;
        const std::size_t begin = out.records.size();
        for (std::size_t place = 0; place < m.nodes.size(); ++place) {
            DerivedRecord r;
            int shown = m.nodes[place];
            const auto said = m.said.find(place);
            // Laptops that said different records here: each laptop's fact once (a second
            // laptop's equal one is the same row), so the place stays disputed, showing the
            // one said first.
            if (said != m.said.end())
                for (const int id : said->second)
                    r.disputed = r.disputed || nodes[std::size_t(id)].record.line !=
                                                   nodes[std::size_t(shown)].record.line;
            out.disputed += r.disputed;
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

namespace {

// The keyed rows, and the rows by place keyed as init-server keys them, each key once.
std::vector<fleet::ServerSeriesRecord> withPlaces(const fleet::ServerSeries& held) {
    if (held.byPlace.empty())
        return held.records;
    std::vector<fleet::ServerSeriesRecord> all = held.records;
    std::unordered_set<std::string> keys;
    keys.reserve(all.size());
    auto keyOf = [](const fleet::ServerSeriesRecord& r) {
        return (r.chainHash + QLatin1Char(':') + QString::number(r.occurrence) + QLatin1Char(':') +
                r.after + QLatin1Char(':') + QString::number(r.afterOccurrence))
            .toStdString();
    };
    for (const auto& r : all)
        keys.insert(keyOf(r));
    for (auto& r : factsOfPlaces(held.byPlace))
        if (keys.insert(keyOf(r)).second)
            all.push_back(std::move(r));
    return all;
}

} // namespace

platform::Result<void> ServerSeries::read(const std::string& conninfo, const std::string& serial,
                                          const std::string& name, int ordinal) {
    return take(fleet::readSeriesRecords(
                    conninfo, QString::fromLatin1(serial.data(), qsizetype(serial.size())),
                    sharedDataSet(name, ordinal)),
                serial, name, ordinal);
}

platform::Result<void> ServerSeries::read(fleet::PgConnection& connection,
                                          const std::string& serial, const std::string& name,
                                          int ordinal) {
    return take(fleet::readSeriesRecords(
                    connection, QString::fromLatin1(serial.data(), qsizetype(serial.size())),
                    sharedDataSet(name, ordinal)),
                serial, name, ordinal);
}

platform::Result<void> ServerSeries::take(const fleet::ServerSeries& held,
                                          const std::string& serial, const std::string& name,
                                          int ordinal) {
    using platform::ErrorKind;
    if (!held.ok)
        return platform::makeError(ErrorKind::Server, held.message.toStdString());
    m_notes.clear();
    m_leftOut = held.leftOut.toStdString();
    m_info = SeriesInfo{};
    m_info.serial = serial;
    m_info.name = name;
    m_info.ordinal = ordinal;
    const std::vector<fleet::ServerSeriesRecord> facts = withPlaces(held);
    m_series = deriveSeries(facts, m_bounds);
    m_unread = held.unread;
    m_clockSetsUnread = held.clockSetsUnread;
    for (const auto& [at, text] : m_series.unread)
        m_unread.add(facts[at].pushedBy.isEmpty() ? QStringLiteral("laptop ") + facts[at].laptop
                                                  : facts[at].pushedBy,
                     QString::fromStdString(text));
    // Over the bounds: what the server holds is not a series this read takes (a flood of
    // chains, or more than its time allows), not damage and not a server gone.
    if (!m_series.failed.empty())
        return platform::makeError(ErrorKind::Invalid, m_series.failed);
    takeTitles();
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
        m_clockSets.push_back(clockFactOf(c));
    if (m_series.records.empty())
        return platform::makeError(ErrorKind::NotFound, "the server holds no records of unit " +
                                                            serial + ", data set " + name);
    return {};
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
            m_clockSets, m_segmentTitles};
}

void ServerSeries::takeTitles() {
    // A segment's title line: said with its records by the laptops that know it, or, pushed
    // by an older version as the segment's first record, taken off it here (namesColumns).
    m_segmentTitles.clear();
    std::vector<DerivedRecord> kept;
    kept.reserve(m_series.records.size());
    const auto& all = m_series.records;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const ServerRecord& r = all[i].record;
        if (!r.titles.empty())
            m_segmentTitles[r.segment + 1] = r.titles;
        const bool first = i == 0 || all[i - 1].record.segment != r.segment;
        if (first) {
            const bool more = i + 1 < all.size() && all[i + 1].record.segment == r.segment;
            const std::string_view next =
                more ? std::string_view(all[i + 1].record.line) : std::string_view();
            if (namesColumns(r.line, more ? &next : nullptr)) {
                m_segmentTitles.emplace(r.segment + 1, r.line);
                continue;
            }
        }
        kept.push_back(all[i]);
    }
    // Places along a segment count its records only.
    for (std::size_t i = 0, at = 0; i < kept.size(); ++i) {
        if (i == 0 || kept[i - 1].record.segment != kept[i].record.segment)
            at = 0;
        kept[i].record.position = at++;
    }
    m_series.records = std::move(kept);
    if (!m_segmentTitles.empty())
        m_info.columnTitles = m_segmentTitles.rbegin()->second;
}

} // namespace series
