// SPDX-License-Identifier: GPL-3.0-or-later
#include "series/record_time.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace series {

namespace {

// The first cell and the second (trimmed), and where the second ends in the record.
struct Cells {
    std::string_view first, second;
    std::size_t secondEnd = 0;
};

Cells leadingCells(std::string_view record) {
    Cells c;
    const auto comma = record.find(',');
    c.first = trimmed(record.substr(0, comma));
    if (comma != std::string_view::npos) {
        const auto next = record.find(',', comma + 1);
        c.second = trimmed(record.substr(
            comma + 1, next == std::string_view::npos ? std::string_view::npos : next - comma - 1));
        c.secondEnd = next == std::string_view::npos ? record.size() : next;
    }
    return c;
}

// The stamp's fields, the clock taken from the second cell when the first holds a date only.
bool stampFields(std::string_view record, viewer::StampFields& fields) {
    const Cells c = leadingCells(record);
    if (!viewer::splitStamp(c.first, fields))
        return false;
    if (fields.hasClock)
        return true;
    double clock = 0;
    if (c.second.empty() || !viewer::parseClock(c.second, clock))
        return false;
    fields.hasClock = true;
    fields.clockSeconds = clock;
    return true;
}

} // namespace

std::vector<ClockFact> mergeClockSets(std::vector<ClockFact> known,
                                      const std::vector<ClockFact>& more) {
    auto same = [](const ClockFact& a, const ClockFact& b) {
        return a.atMs == b.atMs && a.sent == b.sent && a.offsetSeconds == b.offsetSeconds;
    };
    for (const ClockFact& set : more)
        if (std::none_of(known.begin(), known.end(),
                         [&](const ClockFact& k) { return same(k, set); }))
            known.push_back(set);
    std::stable_sort(known.begin(), known.end(),
                     [](const ClockFact& a, const ClockFact& b) { return a.atMs < b.atMs; });
    return known;
}

std::optional<int> offsetOf(const ClockFact& set) {
    if (set.offsetSeconds)
        return set.offsetSeconds;
    viewer::StampFields fields;
    double wall = 0;
    if (!viewer::splitStamp(trimmed(set.sent), fields) || !fields.hasClock ||
        !viewer::stampSeconds(fields, viewer::DateOrder::YMD, wall))
        return std::nullopt;
    const double offset = wall - static_cast<double>(set.atMs) / 1000.0;
    const long quarters = std::lround(offset / 900.0);
    if (quarters < -14 * 4 || quarters > 14 * 4) // no zone is that far from UTC
        return std::nullopt;
    return static_cast<int>(quarters * 900);
}

TimeRule timeRuleFor(const UnitFacts& facts, std::int64_t downloadMs) {
    TimeRule rule;
    std::vector<const ClockFact*> before;
    for (const ClockFact& set : facts.clockSets)
        if (set.atMs < downloadMs)
            before.push_back(&set);
    std::sort(before.begin(), before.end(),
              [](const ClockFact* a, const ClockFact* b) { return a->atMs < b->atMs; });
    if (before.empty())
        return rule;
    const std::optional<int> last = offsetOf(*before.back());
    if (!last)
        return rule;
    rule.known = true;
    rule.offsetSeconds = *last;
    rule.setAtMs = before.back()->atMs;
    for (std::size_t i = 0; i + 1 < before.size(); ++i)
        rule.earlier.emplace_back(before[i]->atMs, offsetOf(*before[i]));
    return rule;
}

std::uint8_t timeFlags(const TimeRule& rule, bool parsed, double seconds) {
    if (!parsed)
        return 0;
    if (!rule.known)
        return kOffsetUnknown;
    const double utc = seconds - rule.offsetSeconds;
    // The clock text has whole seconds and the set's instant is taken after it was sent.
    if (utc >= std::floor(static_cast<double>(rule.setAtMs) / 1000.0) - 1)
        return 0;
    // Stamped under an earlier setting: which one?
    const std::pair<std::int64_t, std::optional<int>>* under = nullptr;
    for (const auto& set : rule.earlier)
        if (static_cast<double>(set.first) / 1000.0 <= utc + 1)
            under = &set;
    if (!under)
        return kOffsetUnknown;
    return under->second == rule.offsetSeconds ? 0 : kAmbiguousOffset;
}

RecordClock::RecordClock(const std::vector<ClockFact>& sets) {
    for (const ClockFact& c : sets)
        m_sets.push_back({static_cast<double>(c.atMs) / 1000.0, offsetOf(c)});
    std::stable_sort(m_sets.begin(), m_sets.end(),
                     [](const Set& a, const Set& b) { return a.at < b.at; });
    if (m_sets.size() >= kNone) // the latest sets are the ones records stand under
        m_sets.erase(m_sets.begin(), m_sets.end() - (kNone - 1));
    for (const Set& set : m_sets)
        if (set.offset &&
            std::find(m_offsets.begin(), m_offsets.end(), *set.offset) == m_offsets.end())
            m_offsets.push_back(*set.offset);
}

RecordClock::Fit RecordClock::fit(double unit, std::int64_t broughtAtMs) const {
    Fit f;
    const double brought = static_cast<double>(broughtAtMs) / 1000.0;
    for (const int o : m_offsets) {
        const double u = unit - o;
        // The sets at or before u (the set's instant is taken after its text was sent: a
        // second's grace); of those the last two, as drift may hold it in the one before.
        const std::size_t k = static_cast<std::size_t>(
            std::upper_bound(m_sets.begin(), m_sets.end(), u + 1.0,
                             [](double t, const Set& s) { return t < s.at; }) -
            m_sets.begin());
        for (std::size_t c = k >= 2 ? k - 2 : 0; c < k; ++c) {
            const Set& set = m_sets[c];
            if (!set.offset || *set.offset != o || set.at >= brought)
                continue;
            const double next =
                c + 1 < m_sets.size() ? std::min(m_sets[c + 1].at, brought) : brought;
            if (u >= next + kDriftSeconds)
                continue;
            const auto i = static_cast<std::uint16_t>(c);
            f.early = f.early == kNone ? i : std::min(f.early, i);
            f.late = f.late == kNone ? i : std::max(f.late, i);
        }
    }
    return f;
}

RecordClock::Utc RecordClock::of(const Fit& f, bool parsed, double unit,
                                 std::int64_t broughtAtMs) const {
    Utc out;
    if (!parsed)
        return out;
    const double brought = static_cast<double>(broughtAtMs) / 1000.0;
    if (f.late == kNone) {
        // Under the last set before the download, would it be after the download?
        const Set* last = nullptr;
        for (const Set& set : m_sets)
            if (set.at < brought)
                last = &set;
        out.flags =
            last && last->offset && unit - *last->offset > brought ? kClockAhead : kOffsetUnknown;
        return out;
    }
    const Set& set = m_sets[f.late];
    out.offsetSeconds = *set.offset;
    out.seconds = unit - *set.offset;
    if (f.early != f.late && m_sets[f.early].offset != set.offset)
        out.flags |= kAmbiguousOffset;
    // The stamp has whole seconds; the download's instant may be taken a moment early.
    if (out.seconds > brought + 1) {
        out.flags |= kClockAhead;
        return out;
    }
    out.known = true;
    return out;
}

void RecordClock::add(int segment, bool parsed, double unit, std::int64_t broughtAtMs) {
    Fit f = parsed ? fit(unit, broughtAtMs) : Fit{};
    if (segment != m_segment || m_fits.empty()) {
        m_segment = segment;
        m_havePrevious = false;
        f.bits |= kSegmentStart;
    }
    if (f.late != kNone) {
        if (m_havePrevious && unit < m_previous)
            f.bits |= kBackwards;
        m_havePrevious = true;
        m_previous = unit;
    }
    m_fits.push_back(f);
}

void RecordClock::resolve() {
    const std::size_t n = m_fits.size();
    // Forward: the lowest set each record can stand under, after those before it.
    std::vector<std::uint16_t> low(n, kNone);
    int floor = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const Fit& f = m_fits[i];
        if (f.bits & kSegmentStart)
            floor = -1;
        if (f.late == kNone)
            continue;
        const int need = floor + ((f.bits & kBackwards) ? 1 : 0);
        const std::uint16_t l = f.early >= need ? f.early : f.late >= need ? f.late : f.early;
        low[i] = l;
        floor = l;
    }
    // Backward: the highest, before those after it; where both agree, it is decided.
    int ceiling = kNone;
    bool nextBackwards = false;
    for (std::size_t i = n; i-- > 0;) {
        Fit& f = m_fits[i];
        if (f.late != kNone) {
            const int allow = ceiling - (nextBackwards ? 1 : 0);
            const std::uint16_t h = f.late <= allow ? f.late : f.early <= allow ? f.early : f.late;
            if (low[i] <= h) {
                f.early = low[i];
                f.late = h;
            }
            ceiling = h;
            nextBackwards = (f.bits & kBackwards) != 0;
        }
        if (f.bits & kSegmentStart) {
            ceiling = kNone;
            nextBackwards = false;
        }
    }
}

RecordClock::Utc RecordClock::utc(std::size_t index, bool parsed, double unit,
                                  std::int64_t broughtAtMs) const {
    return of(index < m_fits.size() ? m_fits[index] : fit(unit, broughtAtMs), parsed, unit,
              broughtAtMs);
}

RecordClock::Utc RecordClock::alone(bool parsed, double unit, std::int64_t broughtAtMs) const {
    return of(parsed ? fit(unit, broughtAtMs) : Fit{}, parsed, unit, broughtAtMs);
}

std::string_view stampText(std::string_view record) {
    viewer::StampFields fields;
    const Cells c = leadingCells(record);
    if (!viewer::splitStamp(c.first, fields))
        return {};
    if (fields.hasClock)
        return c.first;
    double clock = 0;
    if (c.second.empty() || !viewer::parseClock(c.second, clock))
        return {};
    const std::size_t begin = static_cast<std::size_t>(c.first.data() - record.data());
    const std::size_t end =
        static_cast<std::size_t>(c.second.data() - record.data()) + c.second.size();
    return record.substr(begin, end - begin);
}

bool unitSeconds(std::string_view record, viewer::DateOrder order, double& seconds) {
    viewer::StampFields fields;
    return stampFields(record, fields) && viewer::stampSeconds(fields, order, seconds);
}

void DateOrderChoice::add(std::string_view record) {
    using viewer::DateOrder;
    viewer::StampFields fields;
    if (!stampFields(record, fields))
        return;
    viewer::DateOrders here = 0;
    for (DateOrder o : {DateOrder::YMD, DateOrder::DMY, DateOrder::MDY}) {
        double s;
        if ((viewer::ordersOf(fields.shape) & static_cast<viewer::DateOrders>(o)) &&
            viewer::stampSeconds(fields, o, s))
            here |= static_cast<viewer::DateOrders>(o);
    }
    if (m_allowed & here)
        m_allowed &= here;
}

viewer::DateOrder DateOrderChoice::chosen() const {
    using viewer::DateOrder;
    for (DateOrder o : {DateOrder::YMD, DateOrder::DMY, DateOrder::MDY})
        if (m_allowed & static_cast<viewer::DateOrders>(o))
            return o;
    return DateOrder::YMD;
}

viewer::DateOrder chooseDateOrder(const std::vector<std::string_view>& records) {
    DateOrderChoice choice;
    for (const std::string_view record : records)
        choice.add(record);
    return choice.chosen();
}

std::string isoUtc(double seconds) {
    std::string out;
    appendIsoUtc(out, seconds);
    return out;
}

void appendIsoUtc(std::string& out, double seconds) {
    const double whole = std::floor(seconds);
    const std::int64_t s = static_cast<std::int64_t>(whole);
    std::int64_t days = s / 86400;
    std::int64_t rest = s % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int y, m, d;
    viewer::civilFromDays(days, y, m, d);
    // Digits by hand: snprintf's format parsing is most of a CSV row's time.
    char buf[48];
    char* p = buf;
    const auto put = [&p](long long v, int width) {
        char* end = p + width;
        for (char* q = end; q != p;) {
            *--q = char('0' + v % 10);
            v /= 10;
        }
        p = end;
    };
    if (y < 0 || y > 9999) {
        p += std::snprintf(buf, 16, "%04d", y); // an int: at most 11 characters
    } else {
        put(y, 4);
    }
    *p++ = '-';
    put(m, 2);
    *p++ = '-';
    put(d, 2);
    *p++ = 'T';
    put(rest / 3600, 2);
    *p++ = ':';
    put(rest / 60 % 60, 2);
    *p++ = ':';
    put(rest % 60, 2);
    out.append(buf, static_cast<std::size_t>(p - buf));
    const double fraction = seconds - whole;
    if (fraction > 5e-7) {
        std::snprintf(buf, sizeof buf, "%.6f", fraction);
        std::string_view f = buf + 1; // ".xxxxxx"
        while (f.back() == '0')
            f.remove_suffix(1);
        out += f;
    }
    out += 'Z';
}

std::string offsetText(int seconds) {
    const char sign = seconds < 0 ? '-' : '+';
    const int a = seconds < 0 ? -seconds : seconds;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", sign, a / 3600, a / 60 % 60);
    return buf;
}

void UsualInterval::add(double seconds) {
    if (m_any) {
        const double step = seconds - m_last;
        if (step > 0) {
            ++m_count[step];
            ++m_steps;
        }
    }
    m_any = true;
    m_last = seconds;
}

// The median as the sorted steps' element at half their number (what nth_element picks).
double UsualInterval::value() const {
    if (m_steps == 0)
        return 0;
    const std::uint64_t mid = m_steps / 2;
    std::uint64_t below = 0;
    for (const auto& [step, count] : m_count) {
        if (mid < below + count)
            return step;
        below += count;
    }
    return 0;
}

double usualInterval(const std::vector<double>& seconds) {
    UsualInterval interval;
    for (const double s : seconds)
        interval.add(s);
    return interval.value();
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace series
