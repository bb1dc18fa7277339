// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/plot_battery.h"

#include "office/html_text.h"
#include "series/battery_axes.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace office {

namespace {

// Space for the axes' labels around the plot area.
constexpr int kLeft = 64, kRight = 16, kTop = 12, kBottom = 40;

QString number(double v, int decimals) {
    return QString::number(v, 'f', decimals);
}

int decimalsOf(double step) {
    return step >= 1 ? 0 : std::min(3, int(std::ceil(-std::log10(step) - 1e-9)));
}

} // namespace

std::vector<double> roundTicks(double lo, double hi, int most) {
    std::vector<double> ticks;
    if (!(hi > lo) || most < 1 || !std::isfinite(lo) || !std::isfinite(hi))
        return ticks;
    const double rough = (hi - lo) / most;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power * 10;
    for (const double m : {1.0, 2.0, 5.0})
        if (power * m >= rough) {
            step = power * m;
            break;
        }
    for (double t = std::ceil(lo / step - 1e-9) * step; t <= hi + step * 1e-9; t += step)
        ticks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    return ticks;
}

std::pair<double, double> voltsRange(double lo, double hi, double least) {
    const series::ValueRange r = series::readingRange(lo, hi, least);
    return {r.lo, r.hi};
}

// Whole: one chart's SVG, its axes and points sharing one scale.
QString batteryChart(const std::vector<std::pair<std::int64_t, double>>& given, int width,
                     int height) {
    // A value that is no finite number has no place on an axis: left out.
    std::vector<std::pair<std::int64_t, double>> readings;
    for (const auto& r : given)
        if (std::isfinite(r.second))
            readings.push_back(r);
    if (readings.empty())
        return {};
    std::int64_t first = readings.front().first, last = first;
    double vLo = readings.front().second, vHi = vLo;
    for (const auto& [ms, v] : readings) {
        first = std::min(first, ms);
        last = std::max(last, ms);
        vLo = std::min(vLo, v);
        vHi = std::max(vHi, v);
    }
    const series::TimeSpan span = series::batteryTimeSpan(first, last);
    const double x0 = double(span.from), x1 = double(span.to);
    // Plain names, not a structured binding: the lambdas below capture them.
    const auto yRange = voltsRange(vLo, vHi);
    const double y0 = yRange.first, y1 = yRange.second;
    const double plotW = width - kLeft - kRight, plotH = height - kTop - kBottom;
    auto xOf = [&](double ms) { return kLeft + plotW * (ms - x0) / (x1 - x0); };
    auto yOf = [&](double v) { return kTop + plotH * (y1 - v) / (y1 - y0); };

    QString svg = QStringLiteral("<svg class=\"chart battery\" viewBox=\"0 0 %1 %2\" width=\"%1\" "
                                 "height=\"%2\" role=\"img\" aria-label=\"Battery, volts by time "
                                 "(UTC)\">")
                      .arg(width)
                      .arg(height);
    svg += QStringLiteral("<rect class=\"area\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"/>")
               .arg(kLeft)
               .arg(kTop)
               .arg(plotW)
               .arg(plotH);
    // The volts axis: round ticks with grid lines, its title turned along it.
    const std::vector<double> vTicks = roundTicks(y0, y1, std::max(2, int(plotH / 28)));
    const int decimals = vTicks.size() > 1 ? decimalsOf(vTicks[1] - vTicks[0]) : 1;
    for (const double v : vTicks)
        svg += QStringLiteral("<line class=\"grid\" x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\"/>"
                              "<text class=\"tick y\" x=\"%4\" y=\"%5\">%6</text>")
                   .arg(kLeft)
                   .arg(kLeft + plotW)
                   .arg(yOf(v), 0, 'f', 1)
                   .arg(kLeft - 6)
                   .arg(yOf(v) + 4, 0, 'f', 1)
                   .arg(number(v, decimals));
    svg += QStringLiteral("<text class=\"axis-title\" transform=\"translate(14 %1) rotate(-90)\">"
                          "Battery (V)</text>")
               .arg(kTop + plotH / 2, 0, 'f', 1);
    // The time axis: the readings' own times where there are few, else four even steps.
    std::vector<double> tTicks;
    std::vector<std::int64_t> distinct;
    for (const auto& r : readings)
        if (std::find(distinct.begin(), distinct.end(), r.first) == distinct.end())
            distinct.push_back(r.first);
    if (distinct.size() <= 2)
        tTicks.assign(distinct.begin(), distinct.end());
    else
        for (int i = 0; i < 4; ++i)
            tTicks.push_back(double(first) + double(last - first) * i / 3.0);
    const QString& format = span.format;
    for (std::size_t i = 0; i < tTicks.size(); ++i) {
        const double x = xOf(tTicks[i]);
        // The outer labels lean inwards so that none is cut at the chart's edge.
        const QString anchor = tTicks.size() == 1       ? QStringLiteral("middle")
                               : i == 0                 ? QStringLiteral("start")
                               : i + 1 == tTicks.size() ? QStringLiteral("end")
                                                        : QStringLiteral("middle");
        svg +=
            QStringLiteral("<line class=\"tick-mark\" x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\"/>"
                           "<text class=\"tick x\" x=\"%1\" y=\"%4\" text-anchor=\"%5\">%6"
                           "</text>")
                .arg(x, 0, 'f', 1)
                .arg(kTop + plotH)
                .arg(kTop + plotH + 4)
                .arg(kTop + plotH + 17)
                .arg(anchor,
                     html(QDateTime::fromMSecsSinceEpoch(std::int64_t(tTicks[i]), QTimeZone::utc())
                              .toString(format)));
    }
    svg += QStringLiteral("<text class=\"axis-title\" x=\"%1\" y=\"%2\" "
                          "text-anchor=\"middle\">Time (UTC)</text>")
               .arg(kLeft + plotW / 2, 0, 'f', 1)
               .arg(height - 4);
    QString points;
    QString dots;
    for (const auto& [ms, v] : readings) {
        const double x = xOf(double(ms)), y = yOf(v);
        points += QStringLiteral("%1,%2 ").arg(x, 0, 'f', 1).arg(y, 0, 'f', 1);
        dots +=
            QStringLiteral("<circle class=\"reading\" cx=\"%1\" cy=\"%2\" r=\"5\"><title>%3 V, "
                           "%4</title></circle>")
                .arg(x, 0, 'f', 1)
                .arg(y, 0, 'f', 1)
                .arg(number(v, 2), html(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())
                                            .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"))));
    }
    if (readings.size() > 1)
        svg += QStringLiteral("<polyline points=\"%1\"/>").arg(points.trimmed());
    svg += dots + QStringLiteral("</svg>");
    return svg;
}

} // namespace office
