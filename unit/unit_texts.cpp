// SPDX-License-Identifier: GPL-3.0-or-later
#include "unit/unit_texts.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string formatOneDecimal(double value) {
    if (!std::isfinite(value))
        return std::isnan(value) ? "NAN" : (value < 0 ? "-INF" : "INF");
    // Fifteen significant digits first, then the decimal rounding on those digits, so that
    // 12.25 and 0.15 round up as the operator reads them rather than as binary holds them.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    const bool negative = buf[0] == '-';
    const char* p = buf + (negative ? 1 : 0);
    std::string digits;
    digits += p[0];
    digits.append(p + 2, 14);
    const int exponent = std::atoi(std::strchr(p, 'e') + 1);
    int point = exponent + 1; // digits before the decimal point
    if (point < 1) {
        digits.insert(0, static_cast<std::size_t>(1 - point), '0');
        point = 1;
    }
    if (static_cast<int>(digits.size()) < point + 2)
        digits.append(static_cast<std::size_t>(point + 2) - digits.size(), '0');
    std::string kept = digits.substr(0, static_cast<std::size_t>(point) + 1);
    if (digits[static_cast<std::size_t>(point) + 1] >= '5') {
        int i = static_cast<int>(kept.size()) - 1;
        while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') {
            kept[static_cast<std::size_t>(i)] = '0';
            --i;
        }
        if (i < 0)
            kept.insert(0, 1, '1');
        else
            ++kept[static_cast<std::size_t>(i)];
    }
    std::string integer = kept.substr(0, kept.size() - 1);
    const std::size_t nz = integer.find_first_not_of('0');
    integer = nz == std::string::npos ? "0" : integer.substr(nz);
    std::string out = integer + "." + kept.back();
    // A value that rounds to zero shows as 0.0, without a sign.
    if (negative && out != "0.0")
        out.insert(0, 1, '-');
    return out;
}

std::string formatClockText(const std::tm& local) {
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%y-%m-%d %H:%M:%S", &local);
    return std::string(buf, n);
}

std::string currentClockText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return formatClockText(local);
}
