// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion memory with one very long line: an intermediate file holding a header and a
// single data line of 50 MB (no line end inside it) is split into its data file, and the
// process's peak memory is reported before and after. The conversion streams the line in
// pieces, so the growth stays a few megabytes whatever the line's length; the data file is
// checked to hold the line whole.
//
//   bench-long-line            50 MB
//   bench-long-line --mb N     N MB

#include "download/data_collection.h"

#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

double peakRssMB() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0; // kB on Linux
}

int fail(const std::string& why) {
    std::fprintf(stderr, "bench-long-line: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    std::size_t megabytes = 50;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mb") == 0)
            megabytes = static_cast<std::size_t>(std::strtoul(argv[i + 1], nullptr, 10));
    if (megabytes == 0)
        return fail("--mb needs a number of megabytes");

    QTemporaryDir tmp;
    if (!tmp.isValid())
        return fail("no temporary folder");
    const std::string root = tmp.path().toStdString();
    const std::string intermediate = root + "/_$XRQInt.txt";
    const std::string dataDir = root + "/";
    const std::size_t lineBytes = megabytes * 1000 * 1000;

    // Written in small blocks, so that making the file does not raise the peak itself.
    {
        std::FILE* f = std::fopen(intermediate.c_str(), "wb");
        if (!f)
            return fail("cannot create " + intermediate);
        std::fputs("\r\nFILE DUMP\r\nName: LONG\r\n", f);
        char block[64 * 1024];
        for (std::size_t i = 0; i < sizeof block; ++i)
            block[i] = static_cast<char>('0' + i % 10);
        for (std::size_t left = lineBytes; left > 0;) {
            const std::size_t n = left < sizeof block ? left : sizeof block;
            std::fwrite(block, 1, n, f);
            left -= n;
        }
        std::fputs("\r\n>", f);
        if (std::fclose(f) != 0)
            return fail("cannot write " + intermediate);
    }

    const double before = peakRssMB();
    const auto start = std::chrono::steady_clock::now();
    const download::ConvertOutcome outcome =
        download::convertIntermediateFile(intermediate, dataDir);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double after = peakRssMB();

    if (outcome.result != download::ConvertResult::Collected)
        return fail("conversion failed: " + outcome.detail);
    struct stat st {};
    const std::size_t expected = std::strlen("Name: LONG\r\n") + lineBytes + 2;
    if (::stat((dataDir + "LONG.txt").c_str(), &st) != 0 ||
        static_cast<std::size_t>(st.st_size) != expected)
        return fail("the data file does not hold the line whole");

    std::printf("line_mb %zu\n", megabytes);
    std::printf("convert_seconds %.2f\n", seconds);
    std::printf("peak_rss_before_mb %.1f\n", before);
    std::printf("peak_rss_after_mb %.1f\n", after);
    std::printf("peak_rss_growth_mb %.1f\n", after - before);
    return 0;
}
