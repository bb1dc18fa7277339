// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-unit-sim: an XRQ unit on a pseudo-terminal, for trying the program without the
// instrument, for end-to-end tests and for reproducing field problems (see --help).
#include "platform/ini_file.h"
#include "tools/sim/pty_unit.h"
#include "tools/sim/sim_options.h"

#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace {

// The program's TempFilesPath, worked out the same way the program does.
std::string programFolder() {
    std::string base =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdString();
    if (base.empty())
        throw std::runtime_error("no home folder to find the program's files folder in; "
                                 "use --folder or --link");
    return base + "/Quorvant/XRQ/";
}

// The COM port the program will use: the Port of its settings file read by the program's
// own reader (1 when missing or not a number); a number out of range also gives 1, the
// first port the program then falls back to.
int savedPortNumber(const std::string& folder) {
    int n = platform::IniFile(folder + "XRQ.ini").ReadInteger("Serial", "Port", 1);
    return n >= 1 && n <= 256 ? n : 1;
}

} // namespace

int main(int argc, char** argv) {
    sim::CommandLine cl;
    try {
        cl = sim::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "xrq-unit-sim: %s\n", e.what());
        return 2;
    }
    if (cl.help) {
        std::fputs(sim::usageText().c_str(), stdout);
        return 0;
    }
    if (cl.printSample) {
        std::fputs(sim::formatDataText(sim::sampleDataSets()).c_str(), stdout);
        return 0;
    }

    // Signals are taken by one waiting thread, never by the line thread: block them before
    // any thread starts so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // Whoever reads our stdout may go away (the run script); writing must not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<sim::PtyUnit> unit;
    int port = 0;
    try {
        if (cl.sim.linkPath.empty()) {
            std::string folder = cl.folder.empty() ? programFolder() : cl.folder;
            if (folder.back() != '/')
                folder += '/';
            port = cl.portFromSettings ? savedPortNumber(folder) : cl.port;
            cl.sim.linkPath = folder + "ports/COM" + std::to_string(port);
        }
        unit = sim::PtyUnit::start(cl.sim);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "xrq-unit-sim: %s\n", e.what());
        return 1;
    }

    std::size_t records = 0;
    for (const auto& set : unit->memory())
        records += set.records.size();
    if (port > 0)
        std::printf("XRQ unit on COM%d\n", port);
    else
        std::printf("XRQ unit ready\n");
    std::printf("  pty:    %s\n  link:   %s\n  serial: %s\n  memory: %zu data sets, %zu "
                "records\n  line:   %s\n",
                unit->slavePath().c_str(), unit->linkPath().c_str(), unit->serialNumber().c_str(),
                unit->memory().size(), records,
                cl.sim.baud ? (std::to_string(cl.sim.baud) + " bit/s").c_str() : "unpaced");
    std::fflush(stdout);

    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        unit->stop();
    });
    // A hang-up fault ends the unit on its own: wake the waiter the same way a signal would.
    while (!unit->waitUntilStopped(std::chrono::hours(24))) {
    }
    if (unit->hungUp())
        std::fprintf(stderr, "xrq-unit-sim: hung up (fault), exiting\n");
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    unit.reset();
    return 0;
}
