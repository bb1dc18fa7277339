// SPDX-License-Identifier: GPL-3.0-or-later
// The series at scale: a series of 5 million records (ten years at one a minute), then
//   - taking a download of 50,000 records of which all but the last 1,440 are held; then
//     one with a held record changed (disputed), then one that settles it; each from its
//     kept file, read as a stream as the program reads it (the time includes the reading);
//   - exporting the series as CSV (to a sink that only counts);
//   - the store's size against the records' own bytes;
//   - the viewer opening the series (read only, as `xrq-view --series` does: every record
//     read, parsed and put at its instant, then the plot built and drawn once, offscreen),
//     and the memory that takes against the viewer's budget;
//   - rebuilding a store from 1,000 kept downloads of about 100 kB each (a unit whose memory
//     wraps, each download sliding on by a day's records), with the register beside them;
//   - what the outbox adds to a download's local write, 50,000 new records (2.3 MB): the
//     intermediate file synced, the kept copy and its folder synced, the data file synced,
//     read back and its folder synced, the register's transaction, and the series' taken
//     safe (its records go to the outbox in the same transaction) against taken provisional
//     (nothing shared yet), each into a new store from the kept copy, alternated; medians
//     of 15.
//
// Usage: bench-series [folder] [records] [--view]   (default: a temporary folder, 5000000)
// A folder that already holds the series (from an earlier run) is used as it is, without
// filling it again; with --view only the viewer's opening is measured.
#include "register/unit_register.h"
#include "series/download_records.h"
#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"
#include "viewer/data_set_view.h"
#include "viewer/series_reading.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Record i: one a minute from 2016-06-01, with readings as the simulator writes them.
std::string record(std::size_t i) {
    const std::time_t t = 1464739200 + static_cast<std::time_t>(i) * 60;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];
    const std::size_t n = std::strftime(buf, sizeof buf, "%y-%m-%d %H:%M:%S", &tm);
    const int m = std::snprintf(buf + n, sizeof buf - n, ", %.2f, %.2f, %.3f, %.1f",
                                12.7 - double(i % 500) / 1000, 8.0 + double(i % 97) / 10,
                                1.0 + double(i % 1013) / 1000, 350.0 + double(i % 101));
    return std::string(buf, n + std::size_t(m));
}

series::DownloadSets download(std::size_t from, std::size_t to) {
    series::DownloadSets sets;
    sets.sets.push_back({"SITE1", {}, true});
    auto& records = sets.sets.back().records;
    records.reserve(to - from);
    for (std::size_t i = from; i < to; ++i)
        records.push_back(record(i));
    return sets;
}

// A download's text as the unit sends it: "F", the sets, the prompt.
std::string downloadText(const series::DownloadSets& sets) {
    std::string text = "F\r\n";
    for (const series::SetLines& set : sets.sets) {
        text += "Name: " + set.name + "\r\n";
        for (const std::string& r : set.records)
            text += r + "\r\n";
    }
    return text + ">";
}

// Writes `bytes` to a new file and syncs it (and its folder with `folder`).
bool writeSynced(const std::string& path, const std::string& bytes, bool folder) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (folder) {
        const std::string dir = path.substr(0, path.rfind('/'));
        const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dfd >= 0 && ::fsync(dfd) == 0 && ok;
        if (dfd >= 0)
            ::close(dfd);
    }
    return ok;
}

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0;
}

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double peakRssMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QTemporaryDir temporary;
    const std::string folder =
        (argc > 1 ? std::string(argv[1]) : temporary.path().toStdString()) + "/";
    const std::size_t total = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5000000;
    const bool viewOnly = argc > 3 && std::string(argv[3]) == "--view";
    QDir().mkpath(QString::fromStdString(folder));
    std::printf("bench-series in %s\n", folder.c_str());

    // The series: filled by downloads of 500,000 records each (a wrapping memory, 16 held).
    const std::string path = series::storePath(folder);
    series::SeriesStore store;
    if (auto opened = store.open(path); !opened) {
        std::fprintf(stderr, "%s\n", opened.text().c_str());
        return 1;
    }
    const std::size_t held = total;
    auto start = Clock::now();
    constexpr std::size_t kFill = 500000;
    const auto kept = store.find("XRQ1", "SITE1");
    if (kept)
        std::printf("the series of %llu records kept from an earlier run\n",
                    static_cast<unsigned long long>(kept->records));
    for (std::size_t at = 0; !kept && at < held; at += kFill) {
        const std::size_t from = at == 0 ? 0 : at - 16;
        const auto r = store.apply({"XRQ1", "fill-" + std::to_string(at), std::int64_t(at), true},
                                   download(from, std::min(held, at + kFill)), {});
        if (!r.ok) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            return 1;
        }
    }
    // A download taken from its kept file, as the program takes one (the file written first,
    // the time counted from its reading).
    auto takeKept = [&](const std::string& name, std::int64_t at,
                        const series::DownloadSets& sets) {
        const std::string keptPath = folder + "take-" + name + ".txt";
        std::ofstream(keptPath, std::ios::binary) << downloadText(sets);
        start = Clock::now();
        const auto records = series::readDownloadRecords(keptPath);
        return store.apply({"XRQ1", keptPath, at, true}, *records, {});
    };
    if (!kept) {
        std::printf("filled %zu records in %.1f s\n", held, secondsSince(start));
        // A download of 50,000 records: 48,560 held, 1,440 new.
        const series::DownloadSets next = download(held - 48560, held - 48560 + 50000);
        const auto taken = takeKept("next", std::int64_t(held + 1), next);
        std::printf("take 50,000 (1,440 new): %.3f s: %s\n", secondsSince(start),
                    taken.text().c_str());
        // A damaged visit: the next 50,000 with one held record changed (a digit on the
        // line), then one that settles it.
        series::DownloadSets damaged = download(held - 47120, held - 47120 + 50000);
        std::string& changed = damaged.sets[0].records[20000];
        changed.back() = changed.back() == '9' ? '8' : '9';
        const auto disputed = takeKept("damaged", std::int64_t(held + 2), damaged);
        std::printf("take 50,000 with one record changed (1,440 new): %.3f s: %s\n",
                    secondsSince(start), disputed.text().c_str());
        const series::DownloadSets settling = download(held - 45680, held - 45680 + 50000);
        const auto settled = takeKept("settling", std::int64_t(held + 3), settling);
        std::printf("take 50,000 that settles it (1,440 new): %.3f s: %s\n", secondsSince(start),
                    settled.text().c_str());
    }

    // Export.
    const auto info = store.find("XRQ1", "SITE1");
    if (!info) {
        std::fprintf(stderr, "no series\n");
        return 1;
    }
    if (!viewOnly) {
        std::uint64_t csvBytes = 0;
        start = Clock::now();
        const long long rows = series::exportCsv(store, *info, {}, [&](std::string_view piece) {
            csvBytes += piece.size();
            return true;
        });
        const double exportSeconds = secondsSince(start);
        std::printf("export: %lld rows, %.1f MB CSV in %.2f s: %.1f MB/s of CSV, %.1f MB/s of "
                    "records\n",
                    rows, csvBytes / 1e6, exportSeconds, csvBytes / 1e6 / exportSeconds,
                    info->bytes / 1e6 / exportSeconds);
    }
    store.close();
    const std::uint64_t size = fileSize(path) + fileSize(path + "-wal");
    std::printf("store: %.1f MB for %.1f MB of records (%.2fx)\n", size / 1e6, info->bytes / 1e6,
                double(size) / double(info->bytes));

    // The viewer opening the whole series.
    {
        viewer::SeriesRequest request;
        request.filesFolder = QString::fromStdString(folder);
        request.serial = "XRQ1";
        request.name = "SITE1";
        const double rssBefore = peakRssMB();
        const double cpuBefore = cpuSeconds();
        start = Clock::now();
        auto set = std::make_shared<viewer::DataSet>(viewer::readSeries(request));
        const double readSeconds = secondsSince(start);
        const double readCpu = cpuSeconds() - cpuBefore;
        if (!set->error.isEmpty()) {
            std::fprintf(stderr, "view: %s\n", qPrintable(set->error));
            return 1;
        }
        viewer::DataSetView view(set);
        view.resize(1400, 800);
        view.show();
        view.chartView()->viewport()->repaint();
        const double openSeconds = secondsSince(start);
        std::printf("view: %zu rows read in %.2f s (CPU %.2f s), plotted and drawn at %.2f s; "
                    "peak RSS %.0f MB (%.0f MB before), budget %.0f MB\n",
                    set->rowCount(), readSeconds, readCpu, openSeconds, peakRssMB(), rssBefore,
                    double(viewer::defaultMemoryBudget()) / 1e6);
    }

    if (viewOnly)
        return 0;

    // Rebuild from 1,000 kept downloads of about 100 kB.
    const std::string rebuildFolder = folder + "rebuild/";
    QDir().mkpath(QString::fromStdString(rebuildFolder + "downloads/XRQ2"));
    {
        unitreg::UnitRegister reg;
        if (reg.open(rebuildFolder + "units.sqlite").state != unitreg::OpenOutcome::State::Open) {
            std::fprintf(stderr, "cannot open the register\n");
            return 1;
        }
        const bool ok = reg.bulk([&] {
            for (int k = 0; k < 1000; ++k) {
                const std::size_t from = std::size_t(k) * 1440;
                std::string text = "F\r\nName: SITE1\r\n";
                for (std::size_t i = from; text.size() < 100000; ++i)
                    text += record(i) + "\r\n";
                text += ">";
                const std::string kept =
                    rebuildFolder + "downloads/XRQ2/" + std::to_string(k) + ".txt";
                QFile f(QString::fromStdString(kept));
                if (!f.open(QIODevice::WriteOnly))
                    return false;
                f.write(text.data(), qint64(text.size()));
                unitreg::Download d;
                d.serial = "XRQ2";
                d.started = 1700000000000 + std::int64_t(k) * 86400000;
                d.ended = d.started + 30000;
                d.keptFile = kept;
                d.complete = d.verified = true;
                if (!reg.recordDownload(d))
                    return false;
            }
            return true;
        });
        if (!ok) {
            std::fprintf(stderr, "cannot make the kept downloads\n");
            return 1;
        }
    }
    start = Clock::now();
    const series::RebuildResult rebuilt = series::rebuild(rebuildFolder);
    const double rebuildSeconds = secondsSince(start);
    if (!rebuilt.ok) {
        std::fprintf(stderr, "rebuild: %s\n", rebuilt.error.c_str());
        return 1;
    }
    std::printf("rebuild from %zu kept downloads of 100 kB: %.1f s\n", rebuilt.downloads,
                rebuildSeconds);

    // The outbox's share of a download's local write.
    const series::DownloadSets first = download(0, 50000);
    std::string text = "F\r\nName: SITE1\r\n", dataFile = "Name: SITE1\r\n";
    for (const std::string& r : first.sets[0].records) {
        text += r + "\r\n";
        dataFile += r + "\r\n";
    }
    text += ">";
    unitreg::UnitRegister reg;
    if (reg.open(folder + "outbox-units.sqlite").state != unitreg::OpenOutcome::State::Open) {
        std::fprintf(stderr, "cannot open the register\n");
        return 1;
    }
    std::vector<double> shared, unshared, sharedSeries, unsharedSeries;
    for (int round = 0; round < 15; ++round)
        for (const bool safe : {false, true}) {
            const std::string name = std::to_string(round) + (safe ? "-safe" : "-provisional");
            series::SeriesStore s;
            if (auto opened = s.open(folder + "outbox-" + name + ".sqlite"); !opened) {
                std::fprintf(stderr, "%s\n", opened.text().c_str());
                return 1;
            }
            start = Clock::now();
            bool ok = writeSynced(folder + "intermediate-" + name, text, false) &&
                      writeSynced(folder + "kept-" + name, text, true) &&
                      writeSynced(folder + "data-" + name, dataFile, true);
            std::ifstream back(folder + "data-" + name, std::ios::binary);
            const std::string read((std::istreambuf_iterator<char>(back)), {});
            ok = ok && read == dataFile;
            unitreg::Download d;
            d.serial = "XRQ3";
            d.started = 1700000000000 + round;
            d.complete = d.verified = true;
            d.files = {folder + "data-" + name};
            ok = ok && reg.recordDownload(d);
            const auto seriesStart = Clock::now();
            const auto r = s.apply({"XRQ3", "kept-" + name, 1, safe},
                                   *series::readDownloadRecords(folder + "kept-" + name), {});
            (safe ? sharedSeries : unsharedSeries).push_back(secondsSince(seriesStart));
            (safe ? shared : unshared).push_back(secondsSince(start));
            if (!ok || !r.ok) {
                std::fprintf(stderr, "local write failed: %s\n", r.error.c_str());
                return 1;
            }
        }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double without = median(unshared), with = median(shared);
    std::printf("a download's local write, 50,000 new records: %.1f ms without the series' "
                "outbox, %.1f ms with it: +%.1f %%\n",
                without * 1000, with * 1000, (with - without) / without * 100);
    // The totals move with the disk's fsync times on a shared machine; the series'
    // transactions alone, side by side, less so.
    const double seriesWithout = median(unsharedSeries), seriesWith = median(sharedSeries);
    std::printf("  of which the series' transaction: %.1f ms provisional (no outbox), %.1f ms "
                "safe (records in the outbox): the outbox's part %.1f ms = %.1f %% of the "
                "write without it\n",
                seriesWithout * 1000, seriesWith * 1000, (seriesWith - seriesWithout) * 1000,
                (seriesWith - seriesWithout) / without * 100);
    return 0;
}
