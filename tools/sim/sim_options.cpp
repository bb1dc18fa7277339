// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sim/sim_options.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace sim {

namespace {

std::size_t parseCount(const std::string& option, const std::string& value) {
    std::size_t v = 0;
    auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (value.empty() || ec != std::errc() || p != value.data() + value.size())
        throw std::runtime_error(option + " wants a whole number, not \"" + value + "\"");
    return v;
}

double parseReal(const std::string& option, const std::string& value) {
    double v = 0;
    auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (value.empty() || ec != std::errc() || p != value.data() + value.size())
        throw std::runtime_error(option + " wants a number such as 12.6, not \"" + value + "\"");
    return v;
}

std::vector<std::string> splitAt(const std::string& value, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t c = value.find(separator, start);
        parts.push_back(value.substr(start, c == std::string::npos ? c : c - start));
        if (c == std::string::npos)
            return parts;
        start = c + 1;
    }
}

std::vector<std::string> splitColons(const std::string& value) {
    return splitAt(value, ':');
}

std::vector<std::string> splitCommas(const std::string& value) {
    return splitAt(value, ',');
}

} // namespace

std::string usageText() {
    return R"(Usage: xrq-unit-sim [options]
Plays an XRQ unit on a pseudo-terminal and links it where the XRQ program looks for COM
ports, so that the program finds the unit as COMn. Prints the port and the pty, then
answers until SIGINT or SIGTERM, and removes its link on the way out.

Where:
  --port N             link as <folder>/ports/COMN (1..256; default 1)
  --port settings      use the port saved in <folder>/XRQ.ini ([Serial] Port, default 1);
                       the file is only read, never written
  --folder DIR         the program's files folder (default: the program's own,
                       ~/.local/share/Quorvant/XRQ/)
  --link PATH          link exactly here instead (overrides --port and --folder)

The unit:
  --serial TEXT        serial number sent after '#' (default XRQ10472; fewer than eight
                       characters make the program's serial-number request fail)
  --battery VOLTS      battery voltage in the "A" reply (default 12.61)
  --temperature C      temperature in the "A" reply (default 21.4)
  --state FILE         keep memory, clock and serial number in FILE across restarts: read
                       at start when it exists (it then wins over --serial and the memory
                       options), written after every change and at exit

Memory (the bundled sample unless one of these is given; they add up in order):
  --data FILE          data sets from a data file: "Name: <name>" starts a set, other
                       lines are its records, blank lines and lines starting '*' skipped
  --generate C[:R[:L]] C generated sets SITE01.. of R records (default 100), each record
                       L bytes long when L is given (L over 8000: over-long lines)
  --long-lines         a set LONGLINES with records of 7998 to 16000 bytes
  --hostile-names      sets named "../x", "a/b", "" and a 300-character name
  --unusual            clean but unusual sets: an 8-bit name, tab-separated records with
                       8-bit text, a set without records, a '*' note among records
  --empty              no data: the download answers "No data"
  --download-file FILE answer "F" with the bytes of FILE, unchanged (add the '>' yourself)
  --print-sample       print the bundled sample as a data file and exit

The line:
  --baud N             pace the output at N bit/s, 10 bits a byte (default 19200)
  --unpaced            send as fast as the pty takes it
  --chunk N            bytes per write (default 1/100 s worth paced, 4096 unpaced)

Faults (download byte positions count from the first byte of each "F" answer):
  --noise N            N random bytes before every reply (never a marker character)
  --ignore CHARS       commands in CHARS get no reply and do nothing (e.g. --ignore Y)
  --bad-battery        the "A" reply has only one ':'-introduced number
  --pause-at B:MS      stop sending for MS milliseconds at download byte B
  --silent-after N     stop the download after N bytes; no prompt follows
  --hangup-after N     close the pty after N download bytes, as an unplugged cable,
                       and exit
  --damage KINDS       damaged downloads (comma-separated): first-header (the first
                       header loses its first letter), no-line (a line beginning "No"
                       after the first data set), control-bytes (NUL, 0xFF and control
                       bytes inside the first record of every set), changed-digit (the
                       first record's last digit changed in the 1st, 3rd, ... download)
  --seed N             noise and generated records repeat for the same seed (default 1)
  --log-every N        log a record every N seconds, stamped with the unit's clock, into
                       the data set LOG (kept across runs with --state)

Other:
  --verbose            log every byte received and every write to stderr
  --help               this text
)";
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    bool linkGiven = false;
    // Memory options run after the whole line is read, so that --seed counts wherever it
    // stands; they still add up in the order given.
    std::vector<std::function<void()>> memory;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = opt.substr(eq + 1);
            opt.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                throw std::runtime_error(opt + " needs a value (see --help)");
            return args[++i];
        };
        auto flag = [&] {
            if (inlineValue)
                throw std::runtime_error(opt + " takes no value");
        };
        SimOptions& s = cl.sim;
        if (opt == "--help" || opt == "-h") {
            flag();
            cl.help = true;
        } else if (opt == "--print-sample") {
            flag();
            cl.printSample = true;
        } else if (opt == "--port") {
            std::string v = value();
            if (v == "settings") {
                cl.portFromSettings = true;
            } else {
                std::size_t n = parseCount(opt, v);
                if (n < 1 || n > 256)
                    throw std::runtime_error("--port wants 1 to 256 or \"settings\"");
                cl.port = static_cast<int>(n);
                cl.portFromSettings = false;
            }
        } else if (opt == "--folder") {
            cl.folder = value();
            if (cl.folder.empty())
                throw std::runtime_error("--folder wants a folder");
        } else if (opt == "--link") {
            s.linkPath = value();
            if (s.linkPath.empty())
                throw std::runtime_error("--link wants a path");
            linkGiven = true;
        } else if (opt == "--serial") {
            s.serialNumber = value();
            if (s.serialNumber.find_first_of(">\r\n") != std::string::npos)
                throw std::runtime_error("--serial may not hold '>' or a line end");
        } else if (opt == "--battery") {
            s.batteryVolts = parseReal(opt, value());
        } else if (opt == "--temperature") {
            s.temperatureC = parseReal(opt, value());
        } else if (opt == "--state") {
            s.stateFile = value();
        } else if (opt == "--data") {
            auto sets = loadDataFile(value());
            memory.push_back(
                [&s, sets] { s.dataSets.insert(s.dataSets.end(), sets.begin(), sets.end()); });
            cl.dataChosen = true;
        } else if (opt == "--generate") {
            std::string v = value();
            auto parts = splitColons(v);
            if (parts.size() > 3)
                throw std::runtime_error("--generate wants COUNT[:RECORDS[:LENGTH]]");
            std::size_t count = parseCount(opt, parts[0]);
            std::size_t records = parts.size() > 1 ? parseCount(opt, parts[1]) : 100;
            std::size_t length = parts.size() > 2 ? parseCount(opt, parts[2]) : 0;
            if (count > 100000 || records > 10000000 || length > 10000000)
                throw std::runtime_error("--generate " + v + " is more than a unit holds");
            memory.push_back([&s, count, records, length] {
                auto sets = generateDataSets(count, records, length, s.seed);
                s.dataSets.insert(s.dataSets.end(), sets.begin(), sets.end());
            });
            cl.dataChosen = true;
        } else if (opt == "--long-lines") {
            flag();
            memory.push_back([&s] {
                auto sets = longLineDataSets();
                s.dataSets.insert(s.dataSets.end(), sets.begin(), sets.end());
            });
            cl.dataChosen = true;
        } else if (opt == "--hostile-names") {
            flag();
            memory.push_back([&s] {
                auto sets = hostileDataSets();
                s.dataSets.insert(s.dataSets.end(), sets.begin(), sets.end());
            });
            cl.dataChosen = true;
        } else if (opt == "--unusual") {
            flag();
            memory.push_back([&s] {
                auto sets = unusualDataSets();
                s.dataSets.insert(s.dataSets.end(), sets.begin(), sets.end());
            });
            cl.dataChosen = true;
        } else if (opt == "--empty") {
            flag();
            memory.push_back([&s] { s.dataSets.clear(); });
            cl.dataChosen = true;
        } else if (opt == "--download-file") {
            std::string path = value();
            std::ifstream in(path, std::ios::binary);
            if (!in || std::filesystem::is_directory(path))
                throw std::runtime_error("cannot read download file " + path);
            s.rawDownload = std::string(std::istreambuf_iterator<char>(in), {});
            if (in.bad())
                throw std::runtime_error("cannot read download file " + path);
            cl.dataChosen = true;
        } else if (opt == "--baud") {
            std::size_t b = parseCount(opt, value());
            if (b < 10 || b > 10000000)
                throw std::runtime_error("--baud wants 10 to 10000000 (or use --unpaced)");
            s.baud = static_cast<unsigned>(b);
        } else if (opt == "--unpaced") {
            flag();
            s.baud = 0;
        } else if (opt == "--chunk") {
            s.chunkBytes = parseCount(opt, value());
            if (s.chunkBytes == 0)
                throw std::runtime_error("--chunk wants at least 1 byte");
        } else if (opt == "--log-every") {
            s.logEverySeconds = static_cast<unsigned>(parseCount(opt, value()));
            if (s.logEverySeconds == 0)
                throw std::runtime_error("--log-every wants at least 1 second");
        } else if (opt == "--seed") {
            s.seed = static_cast<unsigned>(parseCount(opt, value()));
        } else if (opt == "--noise") {
            s.faults.noiseBytes = parseCount(opt, value());
        } else if (opt == "--ignore") {
            s.faults.ignoredCommands = value();
        } else if (opt == "--bad-battery") {
            flag();
            s.faults.malformedBattery = true;
        } else if (opt == "--pause-at") {
            auto parts = splitColons(value());
            if (parts.size() != 2)
                throw std::runtime_error("--pause-at wants BYTE:MILLISECONDS, e.g. 500:6000");
            s.faults.pauseAtByte = parseCount(opt, parts[0]);
            std::size_t ms = parseCount(opt, parts[1]);
            if (ms > 3600000)
                throw std::runtime_error("--pause-at: at most an hour (3600000 ms)");
            s.faults.pauseMs = static_cast<unsigned>(ms);
        } else if (opt == "--silent-after") {
            s.faults.silentAfterBytes = parseCount(opt, value());
        } else if (opt == "--hangup-after") {
            s.faults.hangUpAfterBytes = parseCount(opt, value());
        } else if (opt == "--damage") {
            for (const std::string& kind : splitCommas(value())) {
                if (kind == "first-header")
                    s.faults.damagedFirstHeader = true;
                else if (kind == "no-line")
                    s.faults.noLineAfterFirstSet = true;
                else if (kind == "control-bytes")
                    s.faults.controlBytesInData = true;
                else if (kind == "changed-digit")
                    s.faults.changedDigitInOddDownloads = true;
                else
                    throw std::runtime_error(
                        "--damage: unknown kind \"" + kind +
                        "\" (first-header, no-line, control-bytes, changed-digit)");
            }
        } else if (opt == "--verbose") {
            flag();
            s.verbose = true;
        } else {
            throw std::runtime_error("unknown option " + opt + " (see --help)");
        }
    }
    for (auto& apply : memory)
        apply();
    if (!cl.dataChosen)
        cl.sim.dataSets = sampleDataSets();
    if (linkGiven)
        cl.portFromSettings = false;
    return cl;
}

} // namespace sim
