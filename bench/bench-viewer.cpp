// SPDX-License-Identifier: GPL-3.0-or-later
// Data viewer benchmark: writes a data file of 1,000,000 records as a download would (header,
// title line, CR LF), reads it the way the viewer does, then opens the plot offscreen and
// times redraws: the whole span, and zoomed spans panned across it. One "key value" pair a
// line, ending with load_s, draw_ms (median redraw: points decimated, handed to the chart and
// painted) and peak_rss_MB (the whole process, Qt included). The CPU-time figures before them
// show how much of the wall time a loaded machine adds in waiting.
//
//   QT_QPA_PLATFORM=offscreen bench-viewer [--rows N]

#include "viewer/data_set_view.h"
#include "viewer_reader/data_file.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double peakRssMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// One record a minute from 2026-06-01 with slow trends and noise, a day's outage every 100,000
// records, and a handful of garbled records, as a long deployment's download would hold.
bool writeFile(const std::string& path, std::size_t rows) {
    std::ofstream out(path, std::ios::binary);
    out << "Name: SITE01\r\nDate     Time    , Batt V, Temp C, Level m, Cond uS\r\n";
    std::time_t t = 1780272000;
    unsigned noise = 1;
    char line[128];
    for (std::size_t i = 0; i < rows; ++i) {
        t += (i > 0 && i % 100000 == 0) ? 86400 : 60;
        noise = noise * 1103515245u + 12345u;
        const double n = ((noise >> 16) & 0x7FFF) / 32768.0;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%y-%m-%d %H:%M:%S", &tm);
        const double day = static_cast<double>(i % 1440) / 1440.0;
        std::snprintf(
            line, sizeof line, "%s, %.2f, %.2f, %.3f, %.1f\r\n", stamp,
            12.7 - 0.0000005 * static_cast<double>(i), 10.0 + 6.0 * std::sin(day * 6.2832) + n,
            1.5 + 0.3 * std::sin(static_cast<double>(i) / 5000.0) + 0.01 * n, 400.0 + 30.0 * n);
        if (i % 250000 == 123)
            out << "26-06-0? ??:??:??, 1#.2, \r\n"; // a garbled record the viewer skips
        out << line;
    }
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::size_t rows = 1000000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--rows") == 0)
            rows = std::strtoul(argv[i + 1], nullptr, 10);
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/SITE01.txt";
    if (!dir.isValid() || !writeFile(path, rows)) {
        std::fprintf(stderr, "bench-viewer: cannot write %s\n", path.c_str());
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds();
    auto set =
        std::make_shared<viewer::DataSet>(viewer::loadDataFile(QString::fromStdString(path)));
    const double loadSeconds = clock.nsecsElapsed() / 1e9;
    const double loadCpu = cpuSeconds() - cpuBefore;
    if (!set->error.isEmpty() || set->rowCount() == 0) {
        std::fprintf(stderr, "bench-viewer: %s\n", qPrintable(set->error));
        return 1;
    }

    viewer::DataSetView view(set);
    view.resize(1400, 800);
    view.show();
    QApplication::processEvents();

    // Whole span, then 1 %, 10 % and 50 % windows moved across the data.
    const double x0 = set->x.front(), x1 = set->x.back(), span = x1 - x0;
    std::vector<std::pair<double, double>> ranges = {{x0, x1}};
    for (const double part : {0.01, 0.1, 0.5})
        for (int k = 0; k < 5; ++k) {
            const double from = x0 + (span - span * part) * k / 4;
            ranges.emplace_back(from, from + span * part);
        }
    ranges.emplace_back(x0, x1);
    std::vector<double> times, decimateTimes, cpuTimes;
    for (const auto& [a, b] : ranges) {
        view.setXRange(a, b);
        clock.restart();
        const double cpu0 = cpuSeconds();
        view.redraw();
        decimateTimes.push_back(clock.nsecsElapsed() / 1e6);
        view.chartView()->viewport()->repaint();
        times.push_back(clock.nsecsElapsed() / 1e6);
        cpuTimes.push_back((cpuSeconds() - cpu0) * 1e3);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    int drawn = 0;
    for (QAbstractSeries* s : view.chart()->series())
        drawn += static_cast<QLineSeries*>(s)->count();

    std::printf("rows %zu\n", set->rowCount());
    std::printf("rows_skipped %zu\n", set->skippedRows);
    std::printf("file_MB %.1f\n", static_cast<double>(set->fileBytes) / 1e6);
    std::printf("series %zu\n", view.shownColumns().size());
    std::printf("points_drawn_full_span %d\n", drawn);
    std::printf("load_cpu_s %.3f\n", loadCpu);
    std::printf("redraw_series_ms %.1f\n", median(decimateTimes));
    std::printf("draw_cpu_ms %.1f\n", median(cpuTimes));
    std::printf("draw_ms_max %.1f\n", sorted.back());
    std::printf("load_s %.3f\n", loadSeconds);
    std::printf("draw_ms %.1f\n", median(times));
    std::printf("peak_rss_MB %.1f\n", peakRssMB());

    // Idle: the plot shown, nothing moving; the event loop for a few seconds.
    {
        view.resetZoom();
        QApplication::processEvents();
        QEventLoop settle;
        QTimer::singleShot(500, &settle, &QEventLoop::quit);
        settle.exec();
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        const int redraws = view.redrawCount();
        QEventLoop idle;
        QTimer::singleShot(3000, &idle, &QEventLoop::quit);
        idle.exec();
        getrusage(RUSAGE_SELF, &after);
        auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
        std::printf("idle_3s_cpu_ms %.1f\n", ms(after.ru_utime) + ms(after.ru_stime) -
                                                 ms(before.ru_utime) - ms(before.ru_stime));
        std::printf("idle_3s_redraws %d\n", view.redrawCount() - redraws);
        std::printf("idle_3s_wakeups %ld\n",
                    (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw));
    }

    // A wide file: 1000 columns x 1000 rows.
    {
        const std::string wide = dir.path().toStdString() + "/WIDE.txt";
        std::ofstream out(wide, std::ios::binary);
        for (int r = 0; r < 1000; ++r) {
            out << "26-06-01 " << (r / 60 % 24 < 10 ? "0" : "") << r / 60 % 24 << ":"
                << (r % 60 < 10 ? "0" : "") << r % 60 << ":00";
            for (int c = 0; c < 1000; ++c)
                out << ", " << (r * 7 + c) % 1000 / 10.0;
            out << "\r\n";
        }
        out.close();
        clock.restart();
        const viewer::DataSet w = viewer::loadDataFile(QString::fromStdString(wide));
        std::printf("wide_1000x1000_load_s %.3f\n", clock.nsecsElapsed() / 1e9);
        std::printf("wide_columns %zu\n", w.columns.size());
    }
    return 0;
}
