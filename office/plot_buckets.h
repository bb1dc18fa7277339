// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A series decimated for a plot: the range cut into equal time buckets, and per bucket and
// column the least, the mean and the greatest value, so that a plot of a million records
// keeps every peak in a few thousand points. Pure: records in, buckets out.

#include "office/office_reads.h"

#include <string_view>
#include <vector>

namespace office {

// The record's fields as numbers, one per comma-separated field (NaN where a field is no
// number: the time stamp, a text); blanks around a field are ignored, the C locale's "." only.
void recordValues(std::string_view line, std::vector<double>& out);

class Decimator {
public:
    // [from, to] in `buckets` equal parts (at least one; a range of no width is one bucket).
    Decimator(double from, double to, int buckets);
    // One record at time `t` (inside the range) with its fields' values.
    void add(double t, const std::vector<double>& values);
    // The buckets that hold records, in time order, each with `columns` values.
    std::vector<PlotBucket> take(std::size_t columns);
    // The columns that held a number in any record added.
    std::vector<std::size_t> numericColumns() const;

private:
    struct Bucket {
        bool used = false;
        double t = 0;
        std::vector<double> low, sum, high;
        std::vector<long long> n;
    };
    double m_from, m_width;
    std::vector<Bucket> m_buckets;
    std::vector<bool> m_numeric;
};

} // namespace office
