// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-collect: one unattended download from the XRQ unit, for a cron job, a systemd timer or
// a bench of units, with the exit status saying whether the data is safe. No display, no
// window and no Qt platform plugin: the program's rooms below its windows do the work.
#include "app/program_end.h"
#include "app/program_folders.h"
#include "collect/collect_options.h"
#include "collect/collector.h"
#include "dialogs/run_log.h"
#include "dialogs/source_lines.h"
#include "fleet/name_lookup.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const collect::ParsedCommandLine parsed = collect::parseCommandLine(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "xrq-collect: %s\nTry 'xrq-collect --help'.\n", parsed.error.c_str());
        return static_cast<int>(collect::Exit::Usage);
    }
    if (parsed.options.help) {
        std::fputs(collect::helpText().c_str(), stdout);
        return 0;
    }
    if (parsed.options.version) {
        std::printf("xrq-collect %s\n", XRQ_VERSION);
        return 0;
    }
    // A standard stream that was closed is held by /dev/null, so that no file the run opens
    // takes its number (the report would be written into it); a closed output still fails
    // --json below.
    const bool outputClosed = collect::holdClosedStandardStreams()[STDOUT_FILENO];
    qInstallMessageHandler(collect::qtMessagesToRunLog);
    int qtArgc = 1;
    GuardedCoreApplication app(qtArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("XRQ"));
    InstallTerminationSignals(&app);
    collect::CollectReport report;
    try {
        report = collect::runCollection(app, parsed.options, ProgramLocations::fromSystem());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "xrq-collect: %s\n", e.what());
        report.exit = collect::Exit::Failed;
        report.message = e.what();
    }
    if (parsed.options.json) {
        // A report that cannot be written is a failed run, whatever the download did: the
        // script that asked for it would read nothing, or half of it.
        if (auto written = collect::writeReport(outputClosed ? -1 : STDOUT_FILENO,
                                                collect::reportJson(report));
            !written) {
            const std::string text = "cannot write the --json report (" + written.text() +
                                     "); the run itself ended " + collect::exitName(report.exit) +
                                     " (" + std::to_string(int(report.exit)) + ")";
            std::fprintf(stderr, "xrq-collect: %s\n", text.c_str());
            LogWrite("xrq-collect: " + text, source_line::jsonNotWritten, LogSizeLimit);
            return fleet::endProcessIfLookupsLeft(static_cast<int>(collect::Exit::Failed));
        }
    }
    // A push whose server's name lookup never ended left it to its thread: ended here, the
    // run's files complete (fleet/name_lookup.h).
    return fleet::endProcessIfLookupsLeft(static_cast<int>(report.exit));
}
