// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-series: the series of every unit and data set (series.sqlite in the program's files
// folder) from the command line: list them, export one as CSV, rebuild the store from the
// kept downloads, and list (and on request remove) kept downloads a later safe one holds
// wholly; export a series as the organisation's server holds it, and administer that server.
// Exit status: see kExit below and xrq-series(1).
#include "series/download_records.h"
#include "series/download_text.h"
#include "series/learnt_clock_sets.h"
#include "series/register_facts.h"
#include "series/series_apply.h"
#include "series/series_export.h"
#include "series/series_store.h"
#include "series/server_series.h"
#include "series/site_series.h"

#include "fleet/admin.h"
#include "fleet/fleet_settings.h"
#include "fleet/name_lookup.h"
#include "fleet/pg_connection.h"
#include "platform/checked_number.h"
#include "platform/durable_file.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum Exit : int {
    kOk = 0,
    kUsage = 1,      // the command line was refused
    kStore = 2,      // the store (or the register) could not be opened or read
    kNotFound = 3,   // no such series
    kOutput = 4,     // the output could not be written (or already exists)
    kRebuild = 5,    // the rebuild failed
    kUnreadable = 6, // done, but some kept downloads could not be read
    kServer = 7,     // export --service: the server could not be read
};

const char* const kUsageText =
    "Usage: xrq-series [--files-folder DIR] [--json] COMMAND\n"
    "  list                                  every series: unit, data set, records, segments\n"
    "  export SERIAL NAME [--set N] [--from TIME] [--to TIME] [--output FILE]\n"
    "         [--service NAME] [--layout plain|classic]\n"
    "                                        one series as CSV (standard output by default);\n"
    "                                        with --service, as the organisation's server\n"
    "                                        (that pg_service.conf name) holds it; plain (the\n"
    "                                        default): one title row, ISO 8601 times, and with\n"
    "                                        --output FILE its metadata in\n"
    "                                        FILE-metadata.json; classic: the older layout\n"
    "                                        with its \"#\" comment lines\n"
    "  export --site CODE --service NAME [--from TIME] [--to TIME] [--output FILE]\n"
    "                                        a site's series across its units' deployments\n"
    "                                        as CSV: UTC, unit, data set, each property's\n"
    "                                        calibrated and raw value, flags\n"
    "  rebuild                               make the store anew from the kept downloads\n"
    "  prune-kept [--remove]                 list kept downloads a later safe one holds\n"
    "                                        wholly (kept where downloads disagreed);\n"
    "                                        --remove removes them\n"
    "  admin init-server --service NAME [--decline-download-bytes] [--max-download-bytes N]\n"
    "                                        create or migrate the server's schema (run with\n"
    "                                        the owner's role)\n"
    "  admin grant-laptop --service NAME ROLE\n"
    "                                        let a login role push and read as a laptop\n"
    "  admin grant-office --service NAME ROLE\n"
    "                                        let a login role read the server as the\n"
    "                                        office's view (xrq-office)\n"
    "  admin grant-deriver --service NAME ROLE\n"
    "                                        let a login role keep the web service's\n"
    "                                        derived Observations (xrq-office --derive-service)\n"
    "  admin set-visit-interval --service NAME DAYS [SERIAL]\n"
    "                                        a unit whose last visit is longer ago is late:\n"
    "                                        the organisation's interval, or one unit's\n"
    "  admin move-laptop --service NAME LAPTOP_ID ROLE\n"
    "                                        the laptop LAPTOP_ID pushes as ROLE from now on\n"
    "  admin disown-laptop --service NAME ROLE [--since TIME]\n"
    "                                        every reader leaves out the facts ROLE pushed\n"
    "                                        since TIME (default now); nothing is deleted\n"
    "  admin own-laptop --service NAME ROLE  read ROLE's facts again\n"
    "  admin check-server --service NAME     list any right a laptop role has beyond adding\n"
    "                                        and reading facts (exit 1 when there is one)\n"
    "  admin add-site|deploy|remove|set-meaning|calibrate|add-note|import|site-facts ...\n"
    "                                        sites, deployments, column meanings,\n"
    "                                        calibrations and notes (xrq-series(1))\n"
    "TIME: 2026-06-01 or 2026-06-01T08:00:00 (UTC).\n";

std::string jsonString(std::string_view bytes) {
    // Latin-1 bytes (serials, names) and UTF-8 paths alike: control characters escaped,
    // everything else as it is in UTF-8 (Latin-1 above 0x7F converted).
    std::string out = "\"";
    std::string utf8;
    series::appendUtf8(utf8, bytes);
    const bool isUtf8 = QString::fromUtf8(bytes.data(), qsizetype(bytes.size())).toUtf8() ==
                        QByteArray(bytes.data(), qsizetype(bytes.size()));
    for (const char c : isUtf8 ? std::string(bytes) : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int fail(int code, const std::string& text, bool json) {
    if (json)
        std::printf("{\"ok\": false, \"error\": %s}\n", jsonString(text).c_str());
    std::fprintf(stderr, "xrq-series: %s\n", text.c_str());
    return code;
}

// The store as it is, opened to read: a missing one is not made here (the program rebuilds a lost
// store from the kept downloads at the next download, which an empty one would prevent).
enum class Opened { Yes, Missing, Failed };
Opened openStore(series::SeriesStore& store, const std::string& folder, std::string& why) {
    const std::string path = series::storePath(folder);
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return Opened::Missing;
    if (auto read = store.openToRead(path); !read) {
        why = read.text();
        return Opened::Failed;
    }
    return Opened::Yes;
}

int list(const std::string& folder, bool json) {
    series::SeriesStore store;
    std::string why;
    const Opened opened = openStore(store, folder, why);
    if (opened == Opened::Failed)
        return fail(kStore, why, json);
    const auto all = opened == Opened::Yes ? store.list() : std::vector<series::SeriesInfo>();
    // Counted by an older version's rules (a title line taken as a record, for one): the
    // program's next download rebuilds it, and so does "rebuild" now.
    if (opened == Opened::Yes && store.rulesVersion() < series::kRulesVersion)
        std::fprintf(stderr, "xrq-series: the store was made by an older version's rules: its "
                             "counts are corrected by \"xrq-series rebuild\" or the next "
                             "download\n");
    if (json) {
        std::printf("{\"ok\": true, \"series\": [");
        bool first = true;
        for (const auto& s : all) {
            std::printf("%s\n  {\"serial\": %s, \"name\": %s, \"set\": %d, \"records\": %llu, "
                        "\"segments\": %d, \"provisional\": %llu, \"disputed\": %llu, "
                        "\"bytes\": %llu, \"usual_interval_s\": %g}",
                        first ? "" : ",", jsonString(s.serial).c_str(), jsonString(s.name).c_str(),
                        s.ordinal + 1, (unsigned long long)s.records, s.segments,
                        (unsigned long long)s.provisional, (unsigned long long)s.disputed,
                        (unsigned long long)s.bytes, s.usualInterval);
            first = false;
        }
        std::printf("\n]}\n");
        return kOk;
    }
    for (const auto& s : all) {
        std::string name;
        series::appendUtf8(name, s.name);
        std::string serial;
        series::appendUtf8(serial, s.serial);
        std::printf("%s\t%s%s\t%llu records\t%d segment%s\t%llu provisional\t%llu disputed\n",
                    serial.c_str(), name.c_str(),
                    s.ordinal > 0 ? (" (set " + std::to_string(s.ordinal + 1) + ")").c_str() : "",
                    (unsigned long long)s.records, s.segments, s.segments == 1 ? "" : "s",
                    (unsigned long long)s.provisional, (unsigned long long)s.disputed);
    }
    return kOk;
}

int exportSeries(const std::string& folder, const std::string& serial, const std::string& name,
                 int set, const series::ExportRange& range, const std::string& output,
                 const std::string& service, series::ExportLayout layout, bool json) {
    series::SeriesStore store;
    series::ServerSeries held;
    std::optional<series::RecordSource> source;
    std::string why;
    if (!service.empty()) {
        const platform::Result<void> read =
            held.read(fleet::serviceConninfo(service), serial, name, set - 1);
        // Facts of the series that no reader can take (another laptop's broken or hostile
        // ones) and a disowned role's: left out and told on standard error side by side,
        // whatever the export's outcome.
        if (!held.unread().empty())
            std::fprintf(stderr, "xrq-series: %s\n", held.unread().told().toStdString().c_str());
        if (!held.leftOut().empty())
            std::fprintf(stderr, "xrq-series: %s\n", held.leftOut().c_str());
        if (!read)
            return fail(kServer, read.text(), json);
        source = held.source();
    } else {
        const Opened opened = openStore(store, folder, why);
        if (opened == Opened::Failed)
            return fail(kStore, why, json);
        const auto info = opened == Opened::Yes ? store.find(serial, name, set - 1) : std::nullopt;
        if (!info)
            return fail(kNotFound, "no series for unit " + serial + ", data set " + name, json);
        // Another laptop's clock sets of the unit, where the folder shares and its server
        // answers in time; those known already serve otherwise.
        const series::ClockSetsLearnt learnt =
            series::learnClockSets(folder, serial, std::chrono::seconds(10));
        if (!learnt.why.empty())
            std::fprintf(stderr, "xrq-series: %s\n", learnt.why.c_str());
        source = series::storeSource(store, *info);
    }
    if (output.empty()) {
        const long long rows = series::exportCsv(
            *source, range,
            [](std::string_view piece) {
                return platform::writeAll(STDOUT_FILENO, piece.data(), piece.size());
            },
            layout);
        if (rows < 0)
            return fail(kOutput, std::string("cannot write the export: ") + std::strerror(errno),
                        false);
        return kOk;
    }
    // A file the operator has is never overwritten here.
    const series::FileExport written =
        series::exportToFile(*source, range, output, false, {}, layout);
    if (!written.ok)
        return fail(kOutput, written.error, json);
    const long long rows = written.rows;
    if (json)
        std::printf("{\"ok\": true, \"output\": %s, \"metadata\": %s, \"rows\": %lld, "
                    "\"not_read\": %lld, \"left_out\": %s}\n",
                    jsonString(output).c_str(),
                    written.metadata.empty() ? "null" : jsonString(written.metadata).c_str(), rows,
                    held.unread().count, jsonString(held.leftOut()).c_str());
    return kOk;
}

int exportSite(const std::string& site, const std::string& service,
               const series::ExportRange& range, const std::string& output, bool json) {
    fleet::PgConnection c;
    const auto timeout = std::chrono::seconds(60);
    if (!c.connect(fleet::serviceConninfo(service), timeout, timeout))
        return fail(kServer, "server not reached: " + c.error(), json);
    // From the server's derived copy, written as it is read, when the copy holds the site's
    // units as their facts stand; else the site's series built whole from the facts.
    std::optional<series::SiteCopyPlan> plan;
    std::vector<series::SiteProperty> properties;
    if (series::siteCopyOpen()) {
        platform::Result<series::SiteCopyPlan> planned = series::planSiteFromCopy(c, site, timeout);
        if (!planned)
            return fail(kServer, planned.error().text, json);
        if (planned.value().behind.empty()) {
            plan = std::move(planned.value());
            platform::Result<std::vector<series::SiteProperty>> found =
                series::siteCopyProperties(c, *plan, range.from, range.to, timeout);
            if (!found)
                return fail(kServer, found.error().text, json);
            properties = std::move(found.value());
        }
    }
    series::SiteSeries s;
    if (!plan) {
        platform::Result<series::SiteSeries> read =
            series::readSiteSeries(c, site, timeout, range.from, range.to);
        if (!read)
            return fail(kServer, read.text(), json);
        s = std::move(*read);
        for (const std::string& told : s.told)
            std::fprintf(stderr, "xrq-series: %s\n", told.c_str());
    }
    // A Server error when the copy was not read; else the sink's, with its errno's words.
    const auto write =
        [&](const std::function<bool(std::string_view)>& sink) -> platform::Result<long long> {
        if (plan)
            return series::exportSiteCsvFromCopy(c, *plan, properties, sink, range.from, range.to,
                                                 timeout);
        if (const long long rows = series::exportSiteCsv(s, sink); rows >= 0)
            return rows;
        const int err = errno;
        return platform::errnoError(err,
                                    std::string("cannot write the export: ") + std::strerror(err));
    };
    const auto notRead = [](const platform::Result<long long>& r) {
        return !r && r.error().kind == platform::ErrorKind::Server;
    };
    if (output.empty()) {
        const platform::Result<long long> rows = write([](std::string_view piece) {
            return platform::writeAll(STDOUT_FILENO, piece.data(), piece.size());
        });
        if (!rows)
            return fail(notRead(rows) ? kServer : kOutput, rows.text(), false);
        return kOk;
    }
    // Under a temporary name beside it, synced, then named without replacing a file there.
    const std::string temporary = output + ".part-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(kOutput, temporary + ": " + std::strerror(errno), json);
    const platform::Result<long long> rows = write(
        [&](std::string_view piece) { return platform::writeAll(fd, piece.data(), piece.size()); });
    const bool written = rows && platform::syncFile(fd);
    const int error = errno;
    ::close(fd);
    if (!written || !platform::renameNoReplace(temporary, output)) {
        const int errorNumber = written ? errno : error;
        ::unlink(temporary.c_str());
        if (notRead(rows))
            return fail(kServer, rows.text(), json);
        return fail(kOutput, output + ": " + std::strerror(errorNumber), json);
    }
    platform::syncFolder(platform::folderOf(output));
    if (json)
        std::printf("{\"ok\": true, \"output\": %s, \"rows\": %lld}\n", jsonString(output).c_str(),
                    *rows);
    return kOk;
}

int rebuildStore(const std::string& folder, bool json) {
    const series::RebuildResult r = series::rebuild(folder, [&](const std::string& line) {
        if (!json)
            std::fprintf(stderr, "%s\n", line.c_str());
    });
    if (!r.ok)
        return fail(kRebuild, r.error, json);
    if (json) {
        std::printf("{\"ok\": true, \"downloads\": %zu, \"series\": %zu, \"unreadable\": [",
                    r.downloads, r.series);
        for (std::size_t i = 0; i < r.unreadable.size(); ++i)
            std::printf("%s%s", i ? ", " : "", jsonString(r.unreadable[i]).c_str());
        std::printf("], \"pruned\": [");
        for (std::size_t i = 0; i < r.pruned.size(); ++i)
            std::printf("%s{\"path\": %s, \"held_by\": %s}", i ? ", " : "",
                        jsonString(r.pruned[i].path).c_str(),
                        jsonString(r.pruned[i].heldBy).c_str());
        std::printf("], \"learnt_clock_sets\": %zu", r.learntCarried);
        if (!r.learntNotCarried.empty())
            std::printf(", \"learnt_not_carried\": %s", jsonString(r.learntNotCarried).c_str());
        if (!r.keptAside.empty())
            std::printf(", \"kept_aside\": %s", jsonString(r.keptAside).c_str());
        std::printf("}\n");
    } else {
        std::printf("Rebuilt %s from %zu kept downloads: %zu series\n",
                    series::storePath(folder).c_str(), r.downloads, r.series);
        if (r.learntCarried > 0)
            std::printf("Clock sets learnt from the server, carried over: %zu\n", r.learntCarried);
        if (!r.learntNotCarried.empty())
            std::printf("Not carried over: %s\n", r.learntNotCarried.c_str());
        if (!r.keptAside.empty())
            std::printf("The store replaced is kept as %s\n", r.keptAside.c_str());
        for (const auto& p : r.pruned)
            std::printf("Pruned: %s (held wholly by %s)\n", p.path.c_str(), p.heldBy.c_str());
        for (const auto& u : r.unreadable)
            std::printf("Not read: %s\n", u.c_str());
    }
    return r.unreadable.empty() ? kOk : kUnreadable;
}

// Whether every data set of `a` is the beginning of the same set (name and place) in `b`,
// record for record, byte for byte (both read as a stream).
bool whollyHeld(series::DownloadRecords& a, series::DownloadRecords& b) {
    std::map<std::pair<std::string, int>, std::size_t> later;
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < b.sets().size(); ++i)
        later[{b.sets()[i].name, seen[b.sets()[i].name]++}] = i;
    seen.clear();
    for (std::size_t i = 0; i < a.sets().size(); ++i) {
        const series::SetIndex& s = a.sets()[i];
        const auto it = later.find({s.name, seen[s.name]++});
        std::size_t differsAt = 0;
        if (it == later.end() || b.sets()[it->second].size() < s.size() ||
            !series::compareSetBeginning(a, i, b, it->second, differsAt) || differsAt > 0)
            return false;
    }
    return true;
}

int pruneKept(const std::string& folder, bool remove, bool json) {
    const std::string registerPath = folder + series::kRegisterFileName;
    const auto serials = series::registerSerials(registerPath);
    if (!serials)
        return fail(kStore, serials.text(), json);
    // A kept download is pruned only where the series knows it: a rebuild then says it was
    // pruned, and the store tells which downloads' words count at disputed places.
    const std::string storeFile = series::storePath(folder);
    series::SeriesStore store;
    if (::access(storeFile.c_str(), F_OK) != 0)
        return fail(kStore, storeFile + ": no series store: nothing is pruned", json);
    if (auto opened = remove ? store.open(storeFile) : store.openToRead(storeFile); !opened)
        return fail(kStore, opened.text() + ": nothing is pruned", json);
    std::vector<series::PrunedDownload> prunable;
    std::vector<std::string> keptForDisputes;
    for (const std::string& serial : *serials) {
        const auto read = series::readRegisterFacts(registerPath, serial);
        if (!read)
            return fail(kStore, read.text(), json);
        const series::RegisterFacts& facts = *read;
        // Each kept download against the next safe one, with no clear between them.
        for (std::size_t i = 0; i < facts.kept.size(); ++i) {
            const auto& a = facts.kept[i];
            for (std::size_t j = i + 1; j < facts.kept.size(); ++j) {
                const auto& b = facts.kept[j];
                if (!b.safe)
                    continue;
                bool cleared = false;
                for (const auto c : facts.facts.clearsMs)
                    cleared = cleared || (c > a.startedMs && c < b.startedMs);
                if (cleared)
                    break;
                const auto da = series::readDownloadRecords(a.path);
                const auto db = series::readDownloadRecords(b.path);
                if (!da->readable() || !db->readable() || db->cut() || !whollyHeld(*da, *db))
                    break;
                // Where downloads disagreed, each one's word counts towards what the place
                // shows: without it a rebuild could find a settled place disputed again.
                const auto said = store.saidWhereDisagreed(serial, a.path);
                if (!said)
                    return fail(kStore, said.text(), json);
                if (*said)
                    keptForDisputes.push_back(a.path);
                else
                    prunable.push_back({serial, a.path, b.path});
                break;
            }
        }
    }
    std::size_t removed = 0;
    std::vector<std::string> failures;
    if (remove && !prunable.empty()) {
        // Each one removed is known to the series as pruned, so that a rebuild says so
        // rather than that it could not read it.
        for (const auto& p : prunable) {
            if (auto noted = store.notePruned(p); !noted) {
                failures.push_back(p.path + ": not removed: " + noted.text());
                continue;
            }
            if (::unlink(p.path.c_str()) == 0)
                ++removed;
            else
                failures.push_back(p.path + ": " + std::strerror(errno));
        }
    }
    if (json) {
        std::printf("{\"ok\": %s, \"removed\": %s, \"kept_downloads\": [",
                    failures.empty() ? "true" : "false", remove ? "true" : "false");
        for (std::size_t i = 0; i < prunable.size(); ++i)
            std::printf("%s\n  {\"path\": %s, \"held_by\": %s}", i ? "," : "",
                        jsonString(prunable[i].path).c_str(),
                        jsonString(prunable[i].heldBy).c_str());
        std::printf("\n], \"kept_for_disputes\": [");
        for (std::size_t i = 0; i < keptForDisputes.size(); ++i)
            std::printf("%s%s", i ? ", " : "", jsonString(keptForDisputes[i]).c_str());
        std::printf("]}\n");
    } else {
        for (const auto& p : prunable)
            std::printf("%s %s\n  (held wholly by %s)\n", remove ? "Removed" : "Would remove",
                        p.path.c_str(), p.heldBy.c_str());
        for (const auto& k : keptForDisputes)
            std::printf("Kept %s\n  (held wholly by a later one, but its records count where "
                        "downloads disagreed)\n",
                        k.c_str());
        if (!remove && !prunable.empty())
            std::printf("Nothing removed: run again with --remove to remove these %zu files\n",
                        prunable.size());
        for (const auto& f : failures)
            std::fprintf(stderr, "xrq-series: cannot remove %s\n", f.c_str());
    }
    return failures.empty() ? kOk : kOutput;
}

int run(int argc, char** argv) {
    QCoreApplication app(argc, argv); // Qt SQL's drivers are found through the application
    std::vector<std::string> args(argv + 1, argv + argc);
    // The server's administration has options of its own (fleet/admin.h).
    if (!args.empty() && args[0] == "admin") {
        QStringList rest;
        for (std::size_t i = 1; i < args.size(); ++i)
            rest << QString::fromLocal8Bit(args[i].c_str());
        const int status = fleet::runAdmin(rest, std::cout, std::cerr, series::keyOlderRecords);
        return status == 0 ? kOk : status == 2 ? kUsage : kServer;
    }
    std::string folder;
    bool json = false;
    std::vector<std::string> words;
    std::optional<std::string> from, to, output, set, service, layoutWord, site;
    bool remove = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::optional<std::string>& into) {
            if (i + 1 >= args.size())
                return false;
            into = args[++i];
            return true;
        };
        std::optional<std::string> f;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsageText, stdout);
            return kOk;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--remove") {
            remove = true;
        } else if (a == "--files-folder") {
            if (!value(f))
                return fail(kUsage, "--files-folder needs a folder", false);
            folder = *f;
        } else if (a == "--service") {
            if (!value(service) || !fleet::validServiceName(QString::fromStdString(*service)))
                return fail(kUsage, "--service takes a service name of pg_service.conf", false);
        } else if (a == "--site") {
            if (!value(site))
                return fail(kUsage, "--site takes a site's code", false);
        } else if (a == "--layout") {
            if (!value(layoutWord))
                return fail(kUsage, "--layout takes plain or classic", false);
        } else if (a == "--from" || a == "--to" || a == "--output" || a == "--set") {
            auto& slot = a == "--from" ? from : a == "--to" ? to : a == "--output" ? output : set;
            if (!value(slot))
                return fail(kUsage, a + " needs a value", false);
        } else if (a.size() > 1 && a[0] == '-') {
            std::fputs(kUsageText, stderr);
            return fail(kUsage, "unknown option " + a, false);
        } else {
            words.push_back(a);
        }
    }
    if (folder.empty())
        folder = series::defaultFilesFolder();
    else if (folder.back() != '/')
        folder += '/';
    if (words.empty()) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    const std::string& command = words[0];
    if (command == "list" && words.size() == 1)
        return list(folder, json);
    if (command == "rebuild" && words.size() == 1)
        return rebuildStore(folder, json);
    if (command == "prune-kept" && words.size() == 1)
        return pruneKept(folder, remove, json);
    if (command == "export" && words.size() == 1 && site) {
        if (!service)
            return fail(kUsage, "export --site reads the organisation's server: --service NAME",
                        json);
        series::ExportRange range;
        double t = 0;
        if (from && !series::parseRangeTime(*from, t))
            return fail(kUsage, "--from: not a time: " + *from, json);
        if (from)
            range.from = t;
        if (to && !series::parseRangeTime(*to, t))
            return fail(kUsage, "--to: not a time: " + *to, json);
        if (to)
            range.to = t;
        return exportSite(*site, *service, range, output.value_or(""), json);
    }
    if (command == "export" && words.size() == 3) {
        series::ExportRange range;
        double s = 0;
        if (from) {
            if (!series::parseRangeTime(*from, s))
                return fail(kUsage, "--from: not a time: " + *from, json);
            range.from = s;
        }
        if (to) {
            if (!series::parseRangeTime(*to, s))
                return fail(kUsage, "--to: not a time: " + *to, json);
            range.to = s;
        }
        int setNumber = 1;
        if (set) {
            setNumber = int(platform::parseInteger(*set, 1, 1000000).value_or(0));
            if (setNumber < 1)
                return fail(kUsage, "--set: a number from 1", json);
        }
        series::ExportLayout layout = series::ExportLayout::Plain;
        if (layoutWord && !series::parseExportLayout(*layoutWord, layout))
            return fail(kUsage, "--layout takes plain or classic", json);
        return exportSeries(folder, words[1], words[2], setNumber, range, output.value_or(""),
                            service.value_or(""), layout, json);
    }
    std::fputs(kUsageText, stderr);
    return fail(kUsage, "unknown command or wrong arguments: " + command, false);
}

} // namespace

// A read of the server whose name lookup never ended left it to its thread: the process ends
// without running its exit under it (fleet/name_lookup.h).
int main(int argc, char** argv) {
    return fleet::endProcessIfLookupsLeft(run(argc, argv));
}
