// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/plot_buckets.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace office {

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

double numberOf(std::string_view field) {
    field = trim(field);
    if (!field.empty() && field.front() == '+')
        field.remove_prefix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
    if (field.empty() || ec != std::errc() || end != field.data() + field.size() ||
        !std::isfinite(v))
        return kNone;
    return v;
}

} // namespace

void recordValues(std::string_view line, std::vector<double>& out) {
    out.clear();
    std::size_t at = 0;
    for (;;) {
        const auto comma = line.find(',', at);
        out.push_back(
            numberOf(line.substr(at, comma == std::string_view::npos ? comma : comma - at)));
        if (comma == std::string_view::npos)
            break;
        at = comma + 1;
    }
}

Decimator::Decimator(double from, double to, int buckets)
    : m_from(from), m_buckets(std::size_t(std::max(1, buckets))) {
    m_width = to > from ? (to - from) / double(m_buckets.size()) : 0;
}

void Decimator::add(double t, const std::vector<double>& values) {
    std::size_t i = 0;
    if (m_width > 0)
        i = std::min(m_buckets.size() - 1,
                     std::size_t(std::max(0.0, std::floor((t - m_from) / m_width))));
    Bucket& b = m_buckets[i];
    if (!b.used) {
        b.used = true;
        b.t = t;
    } else {
        b.t = std::min(b.t, t);
    }
    if (m_numeric.size() < values.size())
        m_numeric.resize(values.size(), false);
    if (b.n.size() < values.size()) {
        b.low.resize(values.size(), kNone);
        b.high.resize(values.size(), kNone);
        b.sum.resize(values.size(), 0);
        b.n.resize(values.size(), 0);
    }
    for (std::size_t c = 0; c < values.size(); ++c) {
        const double v = values[c];
        if (std::isnan(v))
            continue;
        m_numeric[c] = true;
        b.low[c] = b.n[c] ? std::min(b.low[c], v) : v;
        b.high[c] = b.n[c] ? std::max(b.high[c], v) : v;
        b.sum[c] += v;
        ++b.n[c];
    }
}

std::vector<std::size_t> Decimator::numericColumns() const {
    std::vector<std::size_t> out;
    for (std::size_t c = 0; c < m_numeric.size(); ++c)
        if (m_numeric[c])
            out.push_back(c);
    return out;
}

std::vector<PlotBucket> Decimator::take(std::size_t columns) {
    const std::vector<std::size_t> numeric = numericColumns();
    std::vector<PlotBucket> out;
    for (Bucket& b : m_buckets) {
        if (!b.used)
            continue;
        PlotBucket p;
        p.t = b.t;
        for (std::size_t k = 0; k < numeric.size() && k < columns; ++k) {
            const std::size_t c = numeric[k];
            const bool has = c < b.n.size() && b.n[c] > 0;
            p.low.push_back(has ? b.low[c] : kNone);
            p.mean.push_back(has ? b.sum[c] / double(b.n[c]) : kNone);
            p.high.push_back(has ? b.high[c] : kNone);
        }
        out.push_back(std::move(p));
    }
    m_buckets.clear();
    return out;
}

} // namespace office
