// SPDX-License-Identifier: GPL-3.0-or-later
// The unit register at scale: a register of 500 units with 100 visits each (a battery
// reading, a clock set and a download of three data files per visit: 50,000 downloads),
// then how long the Units window takes to open on it (units table and the first unit's
// history and plot filled) and what a Connect costs: the UI thread's hand-over of the
// visit, the register thread's write, and the main window's "last downloaded" question
// answered back on the UI thread.
//
// Usage: bench-register [folder] [units] [visits]   (default: a temporary folder, 500, 100)
#include "bench/bench_timing.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "units_window/units_window.h"

#include <QApplication>
#include <QEventLoop>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using bench::Clock;

using bench::msSince;

std::string serialOf(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "XRQ%05d", n);
    return buf;
}

// Waits in the event loop until `done` holds (or 60 s).
template <class Pred> bool waitFor(Pred&& done) {
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(60000);
    while (!done() && limit.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, std::size_t(double(v.size()) * p))];
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    const std::string folder = argc > 1 ? std::string(argv[1]) : tmp.path().toStdString();
    const int unitCount = argc > 2 ? std::atoi(argv[2]) : 500;
    const int visitsPerUnit = argc > 3 ? std::atoi(argv[3]) : 100;
    const std::string path = folder + "/" + unitreg::kFileName;

    // Build the register: one transaction per unit, a visit every week.
    auto start = Clock::now();
    {
        unitreg::UnitRegister reg;
        if (reg.open(path).state == unitreg::OpenOutcome::State::Unavailable) {
            std::fprintf(stderr, "cannot open %s\n", path.c_str());
            return 1;
        }
        const std::int64_t t0 = 1700000000000;
        const std::int64_t week = 7LL * 24 * 3600 * 1000;
        for (int u = 0; u < unitCount; ++u) {
            const std::string serial = serialOf(u);
            const bool ok = reg.bulk([&] {
                for (int v = 0; v < visitsPerUnit; ++v) {
                    const std::int64_t t = t0 + v * week + u * 60000;
                    reg.recordVisit({serial, t, 1 + u % 8, "/dev/ttyUSB0"});
                    reg.recordBattery({serial, t + 1000, 12.8 - v * 0.01, 15.0 + v % 20,
                                       "\r\nBat: 12.61 V  Temp: 21.4 C\r\n>"});
                    reg.recordClockSet({serial, t + 2000, "23-11-14 22:13:20", 0, "UTC"});
                    unitreg::Download d;
                    d.serial = serial;
                    d.started = t + 3000;
                    d.ended = t + 63000;
                    d.bytes = 120000;
                    d.sets = 3;
                    d.files = {"/home/op/Desktop/XRQ Data/RIVER-A_012.txt",
                               "/home/op/Desktop/XRQ Data/BRIDGE_2_012.txt",
                               "/home/op/Desktop/XRQ Data/WELL 7_012.txt"};
                    d.complete = d.verified = (v % 10) != 3;
                    if (!d.complete)
                        d.why = "Timeout during data download";
                    if (!reg.recordDownload(d))
                        return false;
                }
                return true;
            });
            if (!ok) {
                std::fprintf(stderr, "write failed: %s\n", reg.lastError().c_str());
                return 1;
            }
        }
    }
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::printf("built %d units x %d visits (%d downloads) in %.1f s; file %.1f MB\n", unitCount,
                visitsPerUnit, unitCount * visitsPerUnit, msSince(start) / 1000,
                double(st.st_size) / 1e6);

    RegisterWriter& writer = unitRegister();
    start = Clock::now();
    writer.open(path);
    std::printf("open (with its integrity check): %.1f ms\n", msSince(start));

    // The Units window, three times (the first with a cold page cache for the window's code).
    for (int run = 0; run < 3; ++run) {
        start = Clock::now();
        UnitsWindow window;
        bool units = false, history = false;
        QObject::connect(&window, &UnitsWindow::unitsLoaded, [&] { units = true; });
        QObject::connect(&window, &UnitsWindow::historyLoaded, [&] { history = true; });
        window.show();
        if (!waitFor([&] { return units; }))
            return 1;
        const double unitsMs = msSince(start);
        if (!waitFor([&] { return history; }))
            return 1;
        const double historyMs = msSince(start);
        QCoreApplication::processEvents(); // painted
        std::printf("Units window %d: %d units listed in %.1f ms; first unit's %zu events and "
                    "%d battery points in %.1f ms; painted at %.1f ms\n",
                    run + 1, window.UnitsTable->rowCount(), unitsMs, window.history().size(),
                    window.batteryPoints(), historyMs, msSince(start));
    }

    // Connects: the visit handed over, then the last download asked for and shown.
    std::vector<double> handOver, roundTrip;
    QObject context;
    for (int i = 0; i < 200; ++i) {
        const std::string serial = serialOf(i % unitCount);
        start = Clock::now();
        writer.recordVisit({serial, unitreg::nowMs(), 1, "/dev/ttyUSB0"});
        bool answered = false;
        writer.query<std::optional<unitreg::LastDownload>>(
            &context, [serial](unitreg::UnitRegister& r) { return r.lastDownload(serial); },
            [&](std::optional<unitreg::LastDownload>) { answered = true; });
        handOver.push_back(msSince(start));
        if (!waitFor([&] { return answered; }))
            return 1;
        roundTrip.push_back(msSince(start));
    }
    std::printf("Connect, UI thread's hand-over of visit and question: median %.3f ms, p99 "
                "%.3f ms\n",
                median(handOver), percentile(handOver, 0.99));
    std::printf("Connect, visit written (fsync'ed) and last download answered on the UI "
                "thread: median %.2f ms, p99 %.2f ms\n",
                median(roundTrip), percentile(roundTrip, 0.99));

    // The register's own cost, without the thread hop.
    writer.close();
    unitreg::UnitRegister reg;
    reg.open(path);
    std::vector<double> direct;
    for (int i = 0; i < 200; ++i) {
        const std::string serial = serialOf(i % unitCount);
        start = Clock::now();
        reg.recordVisit({serial, unitreg::nowMs(), 1, "/dev/ttyUSB0"});
        reg.lastDownload(serial);
        direct.push_back(msSince(start));
    }
    std::printf("visit + last download on the register directly: median %.2f ms, p99 %.2f ms\n",
                median(direct), percentile(direct, 0.99));
    return 0;
}
