// SPDX-License-Identifier: GPL-3.0-or-later
#include "time_stamps/time_stamps.h"

namespace viewer {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Up to `most` digits at the front of `t`, taken off it.
bool takeNumber(std::string_view& t, int least, int most, int& value, int& width) {
    width = 0;
    value = 0;
    while (width < static_cast<int>(t.size()) && isDigit(t[static_cast<std::size_t>(width)])) {
        if (++width > most)
            return false;
        value = value * 10 + (t[static_cast<std::size_t>(width - 1)] - '0');
    }
    if (width < least)
        return false;
    t.remove_prefix(static_cast<std::size_t>(width));
    return true;
}

// The unit's own "YY-MM-DD HH:MM:SS" (or with '/' or '.'), nearly every stamp met: read in
// one go, to the same fields the general reading below gives. False for anything else, a
// clock out of range included, which the general reading then refuses or reads.
bool unitsOwnStamp(std::string_view t, StampFields& out) {
    if (t.size() != 17)
        return false;
    const char* p = t.data();
    auto two = [p](std::size_t at, int& v) {
        if (!isDigit(p[at]) || !isDigit(p[at + 1]))
            return false;
        v = (p[at] - '0') * 10 + (p[at + 1] - '0');
        return true;
    };
    const char sep = p[2];
    int h, m, s;
    if ((sep != '-' && sep != '/' && sep != '.') || p[5] != sep || p[8] != ' ' || p[11] != ':' ||
        p[14] != ':' || !two(0, out.field[0]) || !two(3, out.field[1]) || !two(6, out.field[2]) ||
        !two(9, h) || !two(12, m) || !two(15, s) || h > 23 || m > 59 || s > 60) {
        out = StampFields{};
        return false;
    }
    out.shape.separator = sep;
    out.hasClock = true;
    out.clockSeconds = h * 3600.0 + m * 60.0 + s;
    return true;
}

} // namespace

bool civilDays(int y, int m, int d, std::int64_t& days) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1)
        return false;
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0))
        return false;
    // H. Hinnant's days-from-civil algorithm.
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
    return true;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = static_cast<int>(z - era * 146097);
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

bool parseClock(std::string_view t, double& seconds) {
    int h, m, s = 0, w;
    if (!takeNumber(t, 1, 2, h, w) || t.empty() || t.front() != ':')
        return false;
    t.remove_prefix(1);
    if (!takeNumber(t, 2, 2, m, w))
        return false;
    double fraction = 0;
    if (!t.empty() && t.front() == ':') {
        t.remove_prefix(1);
        if (!takeNumber(t, 2, 2, s, w))
            return false;
        if (!t.empty() && (t.front() == '.' || t.front() == ',')) {
            t.remove_prefix(1);
            double scale = 0.1;
            if (t.empty() || !isDigit(t.front()))
                return false;
            for (int digits = 0; !t.empty() && isDigit(t.front()); ++digits, t.remove_prefix(1))
                if (digits < 9) {
                    fraction += (t.front() - '0') * scale;
                    scale /= 10;
                }
        }
    }
    if (!t.empty() && t.front() == 'Z')
        t.remove_prefix(1);
    if (!t.empty() || h > 23 || m > 59 || s > 60) // 60: a leap second, as ISO 8601 allows
        return false;
    seconds = h * 3600.0 + m * 60.0 + s + fraction;
    return true;
}

bool splitStamp(std::string_view t, StampFields& out) {
    out = StampFields{};
    if (unitsOwnStamp(t, out))
        return true;
    int widths[3];
    for (int i = 0; i < 3; ++i) {
        if (!takeNumber(t, 1, 4, out.field[i], widths[i]))
            return false;
        if (i == 2)
            break;
        if (t.empty() || (t.front() != '-' && t.front() != '/' && t.front() != '.'))
            return false;
        if (i == 0)
            out.shape.separator = t.front();
        else if (t.front() != out.shape.separator)
            return false;
        t.remove_prefix(1);
    }
    // A four-digit field is the year, and only the first or the last may be one.
    if (widths[1] > 2 || (widths[0] > 2 && widths[0] != 4) || (widths[2] > 2 && widths[2] != 4) ||
        (widths[0] == 4 && widths[2] == 4))
        return false;
    out.shape.yearFirst4 = widths[0] == 4;
    out.shape.yearLast4 = widths[2] == 4;
    if (t.empty())
        return true;
    if (t.front() != 'T' && t.front() != ' ')
        return false;
    const bool isoT = t.front() == 'T';
    t.remove_prefix(1);
    while (!isoT && !t.empty() && t.front() == ' ')
        t.remove_prefix(1);
    out.hasClock = parseClock(t, out.clockSeconds);
    return out.hasClock;
}

DateOrders ordersOf(const StampShape& s) {
    const auto bits = [](std::initializer_list<DateOrder> orders) {
        DateOrders b = 0;
        for (DateOrder o : orders)
            b |= static_cast<DateOrders>(o);
        return b;
    };
    if (s.yearFirst4)
        return bits({DateOrder::YMD});
    // Dots are written day first the world over; dashes and slashes any way round.
    if (s.separator == '.')
        return bits({DateOrder::DMY});
    if (s.yearLast4)
        return bits({DateOrder::DMY, DateOrder::MDY});
    return bits({DateOrder::YMD, DateOrder::DMY, DateOrder::MDY});
}

bool stampSeconds(const StampFields& f, DateOrder order, double& seconds) {
    int y, m, d;
    switch (order) {
    case DateOrder::YMD:
        y = f.field[0], m = f.field[1], d = f.field[2];
        if (f.shape.yearLast4)
            return false;
        break;
    case DateOrder::DMY:
        d = f.field[0], m = f.field[1], y = f.field[2];
        if (f.shape.yearFirst4)
            return false;
        break;
    default:
        m = f.field[0], d = f.field[1], y = f.field[2];
        if (f.shape.yearFirst4)
            return false;
        break;
    }
    if (y < 100 && !f.shape.yearFirst4 && !f.shape.yearLast4)
        y += 2000;
    std::int64_t days;
    if (!civilDays(y, m, d, days))
        return false;
    seconds = static_cast<double>(days) * 86400.0 + f.clockSeconds;
    return true;
}

const char* orderName(DateOrder order) {
    switch (order) {
    case DateOrder::YMD:
        return "year/month/day";
    case DateOrder::DMY:
        return "day/month/year";
    default:
        return "month/day/year";
    }
}

} // namespace viewer
