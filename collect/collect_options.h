// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The collector's command line and its exit status: what each option means, what each exit
// code says, and the help text that documents both. Plain logic, no windows.

#include <optional>
#include <string>
#include <vector>

namespace collect {

// Whether the data is safe decides the status first; the other codes say what stood in the
// way. A cron job or a systemd unit reads them; the guide and --help list them.
enum class Exit : int {
    Safe = 0,                  // every data set written, verified and synced (or none to take)
    Failed = 1,                // anything not named below (the run log says what)
    Usage = 2,                 // the command line could not be understood
    NoUnit = 3,                // the port opened, but no XRQ unit answered
    PortMissing = 4,           // the port stands for no device, or the device is not there
    PortInUse = 5,             // another program holds the port (the windowed program, say)
    PermissionDenied = 6,      // this user may not open the port's device
    DownloadIncomplete = 7,    // the download was cut, stopped or could not be verified
    DataDirectoryUnusable = 8, // the data directory is missing or takes no files
    AlreadyRunning = 9,        // another xrq-collect is collecting from this port
    Stopped = 10,              // SIGTERM or Ctrl+C before the data was safe; what came is kept
    ClearRefused = 11,         // --clear: the download is safe, but the memory was not cleared
    SiteRefused = 12,          // --site/--note: the data is safe, but nothing of the site was
                               // recorded (an unknown site code; the reason is said)
};

// The word --json prints for an exit status ("safe", "no-unit", ...).
const char* exitName(Exit code);

struct CollectOptions {
    std::optional<int> port;        // --port N (COM number); none: the saved port
    std::string device;             // --device PATH; empty: by the port number
    std::optional<std::string> dir; // --dir DIR (path bytes); none: the saved data directory
    bool setClock = false;          // --set-clock
    bool battery = false;           // --battery
    bool clear = false;             // --clear: clear the memory after a safe download
    bool json = false;              // --json
    bool quiet = false;             // --quiet
    // --service NAME: the organisation's server for this run (a pg_service.conf name), in
    // place of fleet.ini's; empty: fleet.ini's, if any.
    std::string service;
    int pushWait = 0; // --push-wait SECONDS: push the facts at the end for at most this long
    std::string site; // --site CODE: the site the unit was found at; empty: none
    std::string note; // --note TEXT (UTF-8): a field note; empty: none
    std::string noteCategory; // --note-category C: maintenance, calibration, damage, other
    bool help = false;        // --help: print helpText() and end with Safe
    bool version = false;     // --version
};

struct ParsedCommandLine {
    CollectOptions options;
    std::string error; // non-empty: the command line was refused, and why
};

// `args` without the program name.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& args);

std::string helpText();

} // namespace collect
