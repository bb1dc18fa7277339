// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/sim/state_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

std::optional<UnitState> loadStateFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 && errno == ENOENT)
            return std::nullopt;
        throw std::runtime_error("cannot read state file " + path);
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    std::string text = buf.str();

    UnitState state;
    bool haveSerial = false;
    std::size_t pos = 0;
    std::size_t lineNo = 0;
    // Key lines come before the memory; the memory starts with its first "Name:" header.
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.rfind("Name:", 0) == 0)
            break;
        pos = end == std::string::npos ? text.size() : end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '*')
            continue;
        auto bad = [&] {
            throw std::runtime_error("state file " + path + ", line " + std::to_string(lineNo) +
                                     ": not understood: " + line);
        };
        // A whole decimal number, sign allowed, that fits.
        auto wholeNumber = [&](const char* s) {
            char* endp = nullptr;
            errno = 0;
            const long long v = std::strtoll(s, &endp, 10);
            if (endp == s || *endp != '\0' || errno == ERANGE)
                bad();
            return v;
        };
        if (line.rfind("serial: ", 0) == 0) {
            state.serialNumber = line.substr(8);
            haveSerial = true;
        } else if (line.rfind("clock-offset: ", 0) == 0) {
            state.clockOffset = std::chrono::seconds(wholeNumber(line.c_str() + 14));
        } else if (line.rfind("logged-until: ", 0) == 0) {
            state.loggedUntil = wholeNumber(line.c_str() + 14);
        } else {
            bad();
        }
    }
    if (!haveSerial)
        throw std::runtime_error("state file " + path + " has no \"serial: \" line");
    try {
        state.memory = parseDataText(std::string_view(text).substr(pos));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("state file " + path + ", memory " + e.what());
    }
    return state;
}

void saveStateFile(const std::string& path, const UnitState& state) {
    std::string text =
        "* XRQ unit simulator state\nserial: " + state.serialNumber +
        "\nclock-offset: " + std::to_string(state.clockOffset.count()) + "\n" +
        (state.loggedUntil ? "logged-until: " + std::to_string(*state.loggedUntil) + "\n"
                           : std::string()) +
        formatDataText(state.memory);
    std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot write state file " + tmp + ": " + std::strerror(errno));
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    ok = ::fsync(::fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        std::remove(tmp.c_str());
        throw std::runtime_error("cannot write state file " + path + ": " + std::strerror(err));
    }
}

} // namespace sim
