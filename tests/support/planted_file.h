// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What an attacker or an accident leaves at a fixed-name path before the program opens it:
// a file of its own with a given mode, another user's file, a FIFO, a symbolic or a hard link.
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

enum class Plant { Nothing, OwnFile, ForeignFile, Fifo, Link, HardLink };

// Plants `kind` at `path`: a file holding `bytes` with `mode` (user 65534's when foreign,
// which needs root), or a link to `target`. False when the system refused.
inline bool plant(const std::string& path, Plant kind, const std::string& bytes = {},
                  mode_t mode = 0644, const std::string& target = {}) {
    switch (kind) {
    case Plant::Nothing:
        return true;
    case Plant::OwnFile:
    case Plant::ForeignFile: {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << bytes;
            if (!out)
                return false;
        }
        if (::chmod(path.c_str(), mode) != 0)
            return false;
        return kind == Plant::OwnFile || ::chown(path.c_str(), 65534, 65534) == 0;
    }
    case Plant::Fifo:
        return ::mkfifo(path.c_str(), 0666) == 0;
    case Plant::Link:
        return ::symlink(target.c_str(), path.c_str()) == 0;
    case Plant::HardLink:
        return ::link(target.c_str(), path.c_str()) == 0;
    }
    return false;
}

} // namespace testsupport
