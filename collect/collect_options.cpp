// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect/collect_options.h"

#include <QCommandLineParser>
#include <QFile>
#include <QStringList>

#include "fleet/fleet_settings.h"
#include "fleet/site_fact_writes.h"

namespace collect {

const char* exitName(Exit code) {
    switch (code) {
    case Exit::Safe:
        return "safe";
    case Exit::Failed:
        return "failed";
    case Exit::Usage:
        return "usage";
    case Exit::NoUnit:
        return "no-unit";
    case Exit::PortMissing:
        return "port-missing";
    case Exit::PortInUse:
        return "port-in-use";
    case Exit::PermissionDenied:
        return "permission-denied";
    case Exit::DownloadIncomplete:
        return "download-incomplete";
    case Exit::DataDirectoryUnusable:
        return "data-directory-unusable";
    case Exit::AlreadyRunning:
        return "already-running";
    case Exit::Stopped:
        return "stopped";
    case Exit::ClearRefused:
        return "clear-refused";
    case Exit::SiteRefused:
        return "site-refused";
    }
    return "failed";
}

namespace {

// --site, --note and --note-category, checked by the rules the server applies to a note (its
// text) and a site's code, so that nothing the server would refuse waits in the outbox.
std::string readSiteOptions(const QCommandLineParser& parser, const QCommandLineOption& site,
                            const QCommandLineOption& note, const QCommandLineOption& category,
                            CollectOptions& o) {
    if (parser.isSet(site)) {
        const QString code = parser.value(site);
        fleet::Site s;
        s.code = code;
        s.name = QStringLiteral("-");
        const QString fault = fleet::siteFactFault(s);
        if (!fault.isEmpty())
            return "--site takes a site's code (1 to 40 letters, digits, '.', '_' and '-'), not '" +
                   code.left(60).toStdString() + "'.";
        o.site = code.toStdString();
    }
    if (parser.isSet(note)) {
        fleet::FieldNote n;
        n.id = QStringLiteral("00000000-0000-4000-8000-000000000000");
        n.unit = QStringLiteral("-");
        n.text = parser.value(note);
        if (const QString fault = fleet::siteFactFault(n); !fault.isEmpty())
            return "--note: the " + fault.toStdString() + ".";
        o.note = n.text.toStdString();
    }
    if (parser.isSet(category)) {
        if (!parser.isSet(note))
            return "--note-category is given with --note.";
        if (!fleet::noteCategoryFromName(parser.value(category)))
            return "--note-category takes maintenance, calibration, damage or other, not '" +
                   parser.value(category).left(60).toStdString() + "'.";
        o.noteCategory = parser.value(category).toStdString();
    }
    return {};
}

} // namespace

// Whole: the command line's options, each read and checked in one place.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    // Qt's parser: long options with "--", values as "--port 3" or "--port=3", and the
    // same refusal texts as the other programs of the package.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption device(QStringLiteral("device"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption dir(QStringLiteral("dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption setClock(QStringLiteral("set-clock"));
    const QCommandLineOption battery(QStringLiteral("battery"));
    const QCommandLineOption clear(QStringLiteral("clear"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption service(QStringLiteral("service"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption pushWait(QStringLiteral("push-wait"), QString(),
                                      QStringLiteral("SECONDS"));
    const QCommandLineOption site(QStringLiteral("site"), QString(), QStringLiteral("CODE"));
    const QCommandLineOption note(QStringLiteral("note"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption noteCategory(QStringLiteral("note-category"), QString(),
                                          QStringLiteral("C"));
    const QCommandLineOption help(QStringList{QStringLiteral("help"), QStringLiteral("h")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({port, device, dir, setClock, battery, clear, json, quiet, service, pushWait,
                       site, note, noteCategory, help, version});

    QStringList list{QStringLiteral("xrq-collect")};
    for (const std::string& arg : args)
        list << QFile::decodeName(QByteArray::fromStdString(arg));
    ParsedCommandLine parsed;
    if (!parser.parse(list)) {
        parsed.error = parser.errorText().toStdString();
        return parsed;
    }
    CollectOptions& o = parsed.options;
    o.help = parser.isSet(help);
    o.version = parser.isSet(version);
    o.setClock = parser.isSet(setClock);
    o.battery = parser.isSet(battery);
    o.clear = parser.isSet(clear);
    o.json = parser.isSet(json);
    o.quiet = parser.isSet(quiet);
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error = "Unexpected argument '" +
                       parser.positionalArguments().first().toStdString() +
                       "': the port is given with --port N or --device PATH.";
        return parsed;
    }
    if (parser.values(port).size() > 1 || parser.values(device).size() > 1 ||
        parser.values(dir).size() > 1 || parser.values(service).size() > 1 ||
        parser.values(pushWait).size() > 1 || parser.values(site).size() > 1 ||
        parser.values(note).size() > 1 || parser.values(noteCategory).size() > 1) {
        parsed.error = "--port, --device, --dir, --service, --push-wait, --site, --note and "
                       "--note-category are each given once.";
        return parsed;
    }
    if (const std::string why = readSiteOptions(parser, site, note, noteCategory, o);
        !why.empty()) {
        parsed.error = why;
        return parsed;
    }
    if (parser.isSet(service)) {
        if (!fleet::validServiceName(parser.value(service))) {
            parsed.error = "--service takes a service name of pg_service.conf (letters, digits, "
                           "'-', '_' and '.'), not '" +
                           parser.value(service).toStdString() + "'.";
            return parsed;
        }
        o.service = parser.value(service).toStdString();
    }
    if (parser.isSet(pushWait)) {
        bool ok = false;
        const int n = parser.value(pushWait).toInt(&ok);
        if (!ok || n < 0 || n > 3600) {
            parsed.error = "--push-wait takes a number of seconds from 0 to 3600, not '" +
                           parser.value(pushWait).toStdString() + "'.";
            return parsed;
        }
        o.pushWait = n;
    }
    if (parser.isSet(port) && parser.isSet(device)) {
        parsed.error = "--port and --device name the same thing: give one of them.";
        return parsed;
    }
    if (parser.isSet(port)) {
        bool ok = false;
        const int n = parser.value(port).toInt(&ok);
        if (!ok || n < 1 || n > 256) {
            parsed.error = "--port takes a COM port number from 1 to 256, not '" +
                           parser.value(port).toStdString() + "'.";
            return parsed;
        }
        o.port = n;
    }
    if (parser.isSet(device)) {
        o.device = QFile::encodeName(parser.value(device)).toStdString();
        if (o.device.empty()) {
            parsed.error = "--device takes the path of a serial device.";
            return parsed;
        }
    }
    if (parser.isSet(dir)) {
        o.dir = QFile::encodeName(parser.value(dir)).toStdString();
        if (o.dir->empty()) {
            parsed.error = "--dir takes a data directory.";
            return parsed;
        }
    }
    return parsed;
}

std::string helpText() {
    return R"(Usage: xrq-collect [--port N | --device PATH] [--dir DIR] [--set-clock] [--battery]
                   [--clear] [--json] [--quiet] [--service NAME] [--push-wait SECONDS]
                   [--site CODE] [--note TEXT [--note-category C]]

Downloads the data sets of the XRQ unit on the serial port into the data directory, without
windows: the unit is connected ("R", then "!"), its data downloaded ("F"), converted into one
text file per data set, checked on the disk and kept as a raw copy, and the visit recorded in
the unit register, as the windowed program does. The unit's memory is cleared only with
--clear, and only when that is safe.

Options:
  --port N        the COM port number N (1-256), as in the program's Setup; default: the
                  port saved in XRQ.ini
  --device PATH   the serial device at PATH (/dev/ttyUSB0, a /dev/serial/by-id/ link)
  --dir DIR       the data directory; default: the one saved in XRQ.ini. As in Setup, a
                  DIR that names an existing folder (or ends in "/") is that folder, and
                  any other is a prefix of the file names. Folders are never created here.
  --set-clock     set the unit's clock to this computer's local time before downloading
  --battery       read the unit's battery voltage and temperature before downloading
  --clear         clear the unit's memory right after the download, only when the download
                  was called safe, its files and kept copy are on the disk, the series has
                  taken it, and the unit answering just before the clear is the one
                  downloaded (a record logged between the download's end and the clear is
                  lost: --json reports that window)
  --json          print one JSON object on standard output: the unit, the files, bytes,
                  data sets, battery, the outcome and what was shared ("shared": pushed
                  and waiting counts and the status, or null when not shared; "site": what
                  --site and --note recorded, or null)
  --quiet         tell only errors and warnings on standard error (no progress, no notes)
  --service NAME  share with the organisation's server of this pg_service.conf name for
                  this run, in place of the one chosen in Setup (fleet.ini)
  --push-wait SECONDS
                  when shared, push the waiting facts (this run's visit and download, and
                  any left from before) at the end, for at most SECONDS; default 0: leave
                  them waiting for the program or the next run. A push that does not
                  finish changes nothing of the exit status: --json tells what waits
  --site CODE     the unit was found at the site CODE: after the download is done and
                  safe, record its deployment there from now when it is not recorded there
                  (and, when another unit is, that unit's removal at the same time: a swap).
                  CODE must be a site this laptop learnt from the organisation's server
                  (learnt again at the end when a service is named); an unknown code is
                  refused before anything is recorded (exit status 12)
  --note TEXT     record a field note about the unit (and the site, with --site), written
                  by this laptop's name and the user running the program
  --note-category C
                  the note's category: maintenance, calibration, damage or other (default)
  --help          this text; --version: the program's version

Messages go to standard error and into the run log. On a terminal a progress line shows the
bytes, the rate and the data set arriving. SIGTERM or Ctrl+C stops the download; what
arrived is kept.

Exit status:
  0   data safe: every data set written, read back and synced (or the unit held none)
  1   failed otherwise (the run log says why)
  2   the command line could not be understood
  3   no XRQ unit answered on the port
  4   the port is missing: no device, or a port number that stands for none
  5   the port is in use by another program (the windowed program, a terminal)
  6   permission denied on the port's device (join the group that owns it, often dialout)
  7   the download was cut, stopped or could not be verified: its bytes are kept
  8   the data directory is missing or cannot take files
  9   another xrq-collect is already collecting from this port
  10  stopped by SIGTERM or Ctrl+C before the data was safe; what arrived is kept
  11  --clear: the data is safe, but the memory was not cleared (the reason is said)
  12  --site/--note: the data is safe, but what they asked was not recorded (an unknown
      site code: nothing was; the site store could not be written: the reason is said)
)";
}

} // namespace collect
