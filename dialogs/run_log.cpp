// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/run_log.h"

#include "platform/durable_file.h"

#include "platform/fixed_name_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

std::string TempFilesPath;
std::string LogFilePath;
std::int32_t LogSizeLimit = 200000;

namespace runlog {
namespace {

constexpr std::size_t kCopyBlock = 8192;

bool isBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

// The log and its trimming file lie in a folder others may write to: opened by their fixed
// names without following links and only as regular files.
class File {
public:
    File(int fd, const char* mode) : m_f(fd >= 0 ? ::fdopen(fd, mode) : nullptr) {
        if (fd >= 0 && !m_f)
            ::close(fd);
    }
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    explicit operator bool() const { return m_f != nullptr; }
    std::FILE* get() const { return m_f; }
    // False when the buffered data could not be written out.
    bool close() {
        if (!m_f)
            return true;
        const bool ok = std::fclose(m_f) == 0;
        m_f = nullptr;
        return ok;
    }

private:
    std::FILE* m_f;
};

// Cuts the log down to its newest whole lines within `limit` bytes. The kept lines go into the
// trimming file, which then replaces the log by rename, so that at no moment is there no log
// and a failed copy never costs the old lines. When the newest `limit` bytes hold no line feed
// there is no whole line to keep: the log starts afresh (otherwise no line would ever be
// written again). Returns false when the new line must be dropped.
bool trim(const std::string& logPath, std::int32_t limit, mode_t mode) {
    File in(platform::openFixedNameForReading(logPath), "rb");
    if (!in)
        return false;
    if (fseeko(in.get(), -static_cast<off_t>(limit), SEEK_END) != 0)
        return false;
    bool lineStart = false;
    for (int c; (c = std::getc(in.get())) != EOF;) {
        if (c == '\n') {
            lineStart = true;
            break;
        }
    }
    if (std::ferror(in.get()))
        return false;

    const std::string tmpPath = trimFilePath(logPath);
    // Created exclusively, so the log's mode goes to our own new file and nowhere else. A
    // trimming file left by an earlier failed rename (or anything planted under its name) is
    // removed first: removing a link never touches its target.
    int fd = platform::openFixedNameForWriting(tmpPath, platform::FixedOpen::CreateNew, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(tmpPath.c_str()) == 0)
        fd = platform::openFixedNameForWriting(tmpPath, platform::FixedOpen::CreateNew, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, mode & 07777);
    File out(fd, "wb");
    if (!out) {
        std::remove(tmpPath.c_str());
        return false;
    }
    bool ok = true;
    if (lineStart) {
        char buffer[kCopyBlock];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) {
            if (std::fwrite(buffer, 1, n, out.get()) != n) {
                ok = false;
                break;
            }
        }
        if (std::ferror(in.get()))
            ok = false;
    }
    in.close();
    // The trimmed log is on the disk before it replaces the log, and the folder after, so a
    // power cut leaves one whole log or the other.
    if (ok && (std::fflush(out.get()) != 0 || !platform::syncFile(::fileno(out.get()))))
        ok = false;
    if (!out.close())
        ok = false;
    if (!ok) {
        std::remove(tmpPath.c_str());
        return false;
    }
    if (std::rename(tmpPath.c_str(), logPath.c_str()) != 0) {
        // The old log stays whole; the line goes after it.
        std::remove(tmpPath.c_str());
        return true;
    }
    platform::syncFolder(platform::folderOf(logPath));
    return true;
}

// The log is appended only when it is the user's own: a file another user planted under its
// name in a shared folder (or made theirs) is not written into. Takes the descriptor of an
// open regular file; -1 (closed) when it belongs to someone else.
int ownFile(int fd) {
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

} // namespace

std::string cleanLine(std::string text) {
    std::size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin]))
        ++begin;
    std::size_t end = text.size();
    while (end > begin && isBlank(text[end - 1]))
        --end;
    text = text.substr(begin, end - begin);
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

std::string formatLine(std::time_t when, unsigned line, const std::string& message) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[64];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%y/%m/%d %H:%M:%S", &local);
    char number[32];
    std::snprintf(number, sizeof number, "%5.5u", line);
    std::string out(stamp, n);
    out += " (:";
    out += number;
    out += ") ";
    out += message;
    return cleanLine(std::move(out));
}

std::string trimFilePath(const std::string& logPath) {
    const auto slash = logPath.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : logPath.substr(0, slash + 1);
    return folder + "KEPH_TEMP_@..txt";
}

void writeLine(const std::string& logPath, std::time_t when, const std::string& message,
               unsigned line, std::int32_t limit) {
    if (logPath.empty())
        return;
    try {
        // lstat: a link in the log's place is no log to trim, and neither is a file another
        // user owns; the append below refuses both.
        struct stat st {};
        if (::lstat(logPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            limit >= 0 && st.st_size > limit) {
            if (!trim(logPath, limit, st.st_mode))
                return;
        }
        const std::string text = formatLine(when, line, message) + "\r\n";
        File out(ownFile(platform::openFixedNameForWriting(logPath, platform::FixedOpen::Append)),
                 "ab");
        if (!out)
            return;
        std::fwrite(text.data(), 1, text.size(), out.get());
        out.close();
    } catch (...) {
        // Out of memory while building the line: the line is lost, the log keeps its lines.
    }
}

} // namespace runlog

void LogWrite(const std::string& message, unsigned line, std::int32_t limit) {
    try {
        std::lock_guard lock(runlog::logMutex());
        runlog::writeLine(LogFilePath, std::time(nullptr), message, line, limit);
    } catch (...) {
    }
}
