// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ini_file.h"

#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace platform {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b]))
        ++b;
    while (e > b && isSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

struct Document {
    std::vector<std::string> lines; // without line ends
    bool crlf = true;
};

// The file's lines. A missing file is an empty document; a file that exists but cannot be
// read gives nothing, and then nothing may be written either: a write from an empty document
// would replace the operator's other settings with the one key.
std::optional<Document> load(const std::string& path, bool* missing = nullptr) {
    if (missing)
        *missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT && missing) {
            *missing = true;
            return Document{};
        }
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string bytes;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    Document doc;
    const auto firstLf = bytes.find('\n');
    doc.crlf = firstLf == std::string::npos || (firstLf > 0 && bytes[firstLf - 1] == '\r');
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        auto lf = bytes.find('\n', pos);
        if (lf == std::string::npos)
            lf = bytes.size();
        std::string line = bytes.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        doc.lines.push_back(std::move(line));
        pos = lf + 1;
    }
    return doc;
}

// Section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string> sectionOf(const std::string& line) {
    const std::string t = trimmed(line);
    if (t.empty() || t.front() != '[')
        return std::nullopt;
    const auto close = t.find(']');
    return trimmed(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// Key and raw value of a "key=value" line, or nullopt (comments, sections, other lines).
std::optional<std::pair<std::string, std::string>> keyOf(const std::string& line) {
    const std::string t = trimmed(line);
    if (t.empty() || t.front() == ';' || t.front() == '[')
        return std::nullopt;
    const auto eq = t.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return std::make_pair(trimmed(t.substr(0, eq)), trimmed(t.substr(eq + 1)));
}

struct Place {
    std::optional<std::size_t> section; // index of the section line
    std::optional<std::size_t> key;     // index of the key line
    std::size_t end = 0;                // one past the section's last non-blank line
};

Place find(const Document& doc, const std::string& section, const std::string& key) {
    Place place;
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        const auto name = sectionOf(doc.lines[i]);
        if (!place.section) {
            if (name && sameName(*name, section)) {
                place.section = i;
                place.end = i + 1;
            }
            continue;
        }
        if (name)
            break; // the first matching section only
        if (!trimmed(doc.lines[i]).empty())
            place.end = i + 1;
        if (!place.key && !key.empty()) {
            const auto kv = keyOf(doc.lines[i]);
            if (kv && sameName(kv->first, key))
                place.key = i;
        }
    }
    return place;
}

// The process's file-creation mask, read without changing it (umask(2) would, for a moment,
// under any other thread creating a file).
mode_t processUmask() {
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found)
            return static_cast<mode_t>(mask & 0777);
    }
    return 022;
}

bool save(const std::string& path, const Document& doc) {
    std::string bytes;
    const char* eol = doc.crlf ? "\r\n" : "\n";
    for (const auto& line : doc.lines) {
        bytes += line;
        bytes += eol;
    }
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return false;
    // The mode a file of this user's gets, not the old file's: one left at 0666 by another
    // program would otherwise stay writable for everyone.
    ::fchmod(fd, 0666 & ~processUmask());
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    // On the disk before it takes the settings' name, and the name on the disk after: a
    // power cut leaves the old settings or the new ones, never an empty file.
    if (ok && !syncFile(fd))
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        std::remove(tmp.c_str());
    if (ok && !syncFolder(folderOf(path)))
        ok = false;
    return ok;
}

bool hasLineBreak(const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
}

std::string unquoted(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

std::optional<int> parseInteger(const std::string& text) {
    std::string t = trimmed(text);
    bool negative = false;
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
        negative = t[0] == '-';
        t.erase(0, 1);
    }
    int base = 10;
    if (t.size() > 1 && t[0] == '$') {
        base = 16;
        t.erase(0, 1);
    } else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.erase(0, 2);
    }
    if (t.empty())
        return std::nullopt;
    long long value = 0;
    for (char c : t) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        else
            return std::nullopt;
        value = value * base + digit;
        if (value > static_cast<long long>(INT_MAX) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return std::nullopt;
    return static_cast<int>(value);
}

} // namespace

// Names are matched as the file holds them, blanks around them dropped, on reading and on
// writing alike: a name written with blanks is found again.
std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
    const auto doc = load(m_fileName);
    if (!doc)
        return defaultValue;
    const Place place = find(*doc, trimmed(section), trimmed(key));
    if (!place.key)
        return defaultValue;
    return unquoted(keyOf(doc->lines[*place.key])->second);
}

int IniFile::ReadInteger(const std::string& section, const std::string& key,
                         int defaultValue) const {
    if (!ValueExists(section, key))
        return defaultValue;
    return parseInteger(ReadString(section, key, {})).value_or(defaultValue);
}

bool IniFile::SectionExists(const std::string& section) const {
    const auto doc = load(m_fileName);
    return doc && find(*doc, trimmed(section), {}).section.has_value();
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const {
    const auto doc = load(m_fileName);
    return doc && find(*doc, trimmed(section), trimmed(key)).key.has_value();
}

bool IniFile::WriteString(const std::string& sectionName, const std::string& keyName,
                          const std::string& value) {
    const std::string section = trimmed(sectionName);
    const std::string key = trimmed(keyName);
    if (section.empty() || key.empty() || hasLineBreak(section) || hasLineBreak(key) ||
        hasLineBreak(value) || section.find(']') != std::string::npos ||
        key.find('=') != std::string::npos || key.front() == ';' || key.front() == '[')
        return false;
    bool missing = false;
    const auto loaded = load(m_fileName, &missing);
    if (!loaded)
        return false;
    Document doc = *loaded;
    const Place place = find(doc, section, key);
    const std::string line = key + "=" + value;
    if (place.key)
        doc.lines[*place.key] = line;
    else if (place.section)
        doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(place.end), line);
    else {
        doc.lines.push_back("[" + section + "]");
        doc.lines.push_back(line);
    }
    return save(m_fileName, doc);
}

bool IniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    return WriteString(section, key, std::to_string(value));
}

bool IniFile::DeleteKey(const std::string& section, const std::string& key) {
    bool missing = false;
    auto doc = load(m_fileName, &missing);
    if (!doc)
        return false;
    if (missing)
        return true;
    const Place place = find(*doc, trimmed(section), trimmed(key));
    if (!place.key)
        return true;
    doc->lines.erase(doc->lines.begin() + static_cast<std::ptrdiff_t>(*place.key));
    return save(m_fileName, *doc);
}

} // namespace platform
