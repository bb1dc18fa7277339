// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a simulated unit is and how its line behaves: the options of PtyUnit::start and of
// the xrq-unit-sim command line (parseCommandLine turns argv into them; usageText is what
// --help prints and documents every option).

#include "tools/sim/data_set.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Faults of the unit and of the line, for tests and for reproducing field problems.
// Byte positions count the bytes of one download answer (the reply to "F"), from its first
// byte (noise before it not counted); each download starts counting afresh.
struct FaultOptions {
    std::size_t noiseBytes = 0;    // random bytes (never a marker character) before every reply
    std::string ignoredCommands;   // command characters that get no reply and have no effect
    bool malformedBattery = false; // "A" answers with a single ':'-introduced number
    std::optional<std::size_t> pauseAtByte; // stop sending for pauseMs at this download byte
    unsigned pauseMs = 0;
    std::optional<std::size_t> silentAfterBytes; // the download stops here, no prompt follows
    std::optional<std::size_t> hangUpAfterBytes; // the pty is closed here (the unit is gone)
    // Damaged downloads, as a disturbed line makes them (the memory itself stays whole):
    bool damagedFirstHeader = false;  // the first header loses its first letter ("ame: A")
    bool noLineAfterFirstSet = false; // a line beginning "No" follows the first data set
    bool controlBytesInData = false;  // NUL, 0xFF and control bytes inside data lines
    // The first record's last digit changed in the 1st, 3rd, ... download, as a disturbed
    // byte reaches the computer as good text on a line without parity.
    bool changedDigitInOddDownloads = false;
};

struct SimOptions {
    // Where the pty's slave is linked (a symbolic link, e.g. <TempFilesPath>/ports/COM3);
    // empty: no link, only the pty path. Its folder is created when missing. An existing
    // entry there is replaced only when it is a link to a pty that no longer exists.
    std::string linkPath;

    std::string serialNumber = "XRQ10472"; // any text without '>' or a line end
    double batteryVolts = 12.61;
    double temperatureC = 21.4;
    std::vector<DataSet> dataSets; // the memory at start (empty: "No data")
    // When set, the reply to "F" is this text byte for byte instead of one made from the
    // memory (nothing is added: include the prompt '>' if the unit is to send it).
    std::optional<std::string> rawDownload;
    // When set, the memory, the clock and the serial number are read from this file if it
    // exists (overriding the fields above) and written back after every change and at stop.
    std::string stateFile;
    // A logging clock: every this many seconds (0: none) the unit logs one record into the
    // set "LOG" (made at the end of the memory when missing), stamped with its own clock.
    // The records of the time since the last one are logged when the unit next hears a byte
    // (it cannot be asked meanwhile), and with a state file the time is kept across runs.
    unsigned logEverySeconds = 0;

    unsigned baud = 19200;      // bytes go out at baud/10 per second; 0: as fast as the pty takes
    std::size_t chunkBytes = 0; // bytes per write; 0: 1/100 s worth when paced, 4096 unpaced
    unsigned seed = 1;          // noise and generated records repeat for the same seed
    bool verbose = false;       // log every command and reply to stderr
    FaultOptions faults;
};

// The xrq-unit-sim command line.
struct CommandLine {
    SimOptions sim;
    int port = 1;                  // link as <folder>/ports/COM<port> unless --link is given
    bool portFromSettings = false; // --port settings: the Port saved in <folder>/XRQ.ini
    std::string folder;            // --folder: instead of the program's TempFilesPath
    bool dataChosen = false; // any of --data/--generate/--hostile-names/--empty/--download-file
    bool help = false;
    bool printSample = false;
};

// Parses argv[1..]. Throws std::runtime_error with a message for the operator on a bad
// option or value (data files are read here, so their errors come out here too). When no
// data option is given the bundled sample is the memory.
CommandLine parseCommandLine(const std::vector<std::string>& args);
std::string usageText();

} // namespace sim
