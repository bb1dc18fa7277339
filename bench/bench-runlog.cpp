// SPDX-License-Identifier: GPL-3.0-or-later
// How long a run-log line takes once the log has reached its size limit, where nearly every
// write trims (copies somewhat less than the limit into the trimming file and renames it over
// the log). Usage: bench-runlog [folder] [lines]  (default: a program sandbox's folder, 2000 lines)
#include "dialogs/run_log.h"
#include "support/program_sandbox.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testsupport::ProgramSandbox sandbox;
    sandbox.useRunLog();
    if (argc > 1) {
        TempFilesPath = std::string(argv[1]) + "/";
        LogFilePath = TempFilesPath + "XRQ_log.txt";
    }
    const int lines = argc > 2 ? std::atoi(argv[2]) : 2000;

    const std::string message = "iWaitForStringNUntilTermination: A -> 12.34:21.5>";
    // Fill up to the limit without timing it.
    struct stat st {};
    while (::stat(LogFilePath.c_str(), &st) != 0 || st.st_size <= LogSizeLimit) {
        const auto before = st.st_size;
        LogWrite(message, 500, LogSizeLimit);
        if (::stat(LogFilePath.c_str(), &st) != 0 || st.st_size == before) {
            std::fprintf(stderr, "cannot write %s\n", LogFilePath.c_str());
            return 1;
        }
    }

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const std::clock_t cpuStart = std::clock();
    for (int i = 0; i < lines; ++i)
        LogWrite(message, 501, LogSizeLimit);
    const double seconds = std::chrono::duration<double>(clock::now() - start).count();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    ::stat(LogFilePath.c_str(), &st);
    // CPU time is what the line costs the UI thread; wall time also counts a busy machine.
    std::printf("%d lines at the %d-byte limit: %.1f us CPU, %.1f us wall per line; log now "
                "%lld bytes\n",
                lines, LogSizeLimit, cpu * 1e6 / lines, seconds * 1e6 / lines,
                static_cast<long long>(st.st_size));
    return 0;
}
