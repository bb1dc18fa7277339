// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/data_file_names.h"

#include <cstdio>
#include <cstring>

namespace download {

std::string safeFileName(std::string_view name) {
    std::string safe;
    safe.reserve(name.size() * 2);
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool control = u < 0x20 || (u >= 0x7F && u < 0xA0);
        if (control || std::strchr("\\/:*?\"<>|", c) != nullptr) {
            safe += '_';
        } else if (u < 0x80) {
            safe += c;
        } else { // Latin-1 to UTF-8: two bytes
            safe += static_cast<char>(0xC0 | (u >> 6));
            safe += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return safe;
}

std::string fitFileName(std::string name, std::string_view directory) {
    // 255 bytes per component on Linux file systems; "_000.txt" must still fit behind it.
    constexpr std::size_t kComponentMax = 255;
    constexpr std::size_t kSuffix = 8;
    const auto slash = directory.rfind('/');
    const std::size_t prefix =
        slash == std::string_view::npos ? directory.size() : directory.size() - slash - 1;
    const std::size_t room =
        prefix + kSuffix < kComponentMax ? kComponentMax - prefix - kSuffix : 0;
    if (name.size() > room) {
        std::size_t cut = room;
        // Back to the start of the character that would be split (UTF-8 continuation bytes
        // are 10xxxxxx).
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name;
}

std::string dataFileName(const std::string& base, int choice) {
    std::string name = base;
    if (choice > 0) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "_%3.3d", choice - 1);
        name += suffix;
    }
    return name + ".txt";
}

} // namespace download
