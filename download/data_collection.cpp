// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/data_collection.h"

#include "platform/durable_file.h"
#include "platform/fixed_name_file.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace download {

std::string directoryBytes(const QString& directory) {
    return QFile::encodeName(directory).toStdString();
}

std::string openErrorText(int err) {
    if (err == ELOOP)
        return "it is a symbolic link; such a file is not followed";
    if (err == EINVAL)
        return "it is not a regular file";
    return std::strerror(err);
}

platform::Result<void> canCreateFilesIn(const std::string& directory) {
    const auto slash = directory.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : directory.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        return platform::errnoError(errno, folder + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return platform::makeError(platform::ErrorKind::Invalid,
                                   folder + ": " + std::strerror(ENOTDIR));
    std::string probe = folder + "/.xrq-write-test-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return platform::errnoError(errno, folder + ": " + std::strerror(errno));
    ::close(fd);
    ::unlink(probe.c_str());
    return {};
}

// ---- conversion ----

namespace {

constexpr std::size_t kNameHeld = 1024; // far beyond any file name

std::string errnoText(int err) {
    return std::strerror(err);
}

// One conversion: the reader, the data file being written and the outcome. Each step
// returns false when the conversion ends there, the outcome then saying how.
class Conversion {
public:
    Conversion(const std::string& directory, std::string_view promptText)
        : m_directory(directory), m_promptText(promptText),
          m_folder(platform::folderOf(directory + "x")),
          // Sets whose numbered names are all taken go into a folder named after this
          // download.
          m_overflow(QDateTime::currentDateTime()
                         .toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"))
                         .toStdString()) {
        m_output.setOverflowFolder(m_overflow);
    }

    ConvertOutcome run(const std::string& intermediatePath, const FileIdentity* written);

private:
    bool open(const std::string& intermediatePath, const FileIdentity* written);
    bool convertLines();
    bool startLine(std::string_view piece, bool last);
    bool continueLine(std::string_view piece, bool last);
    bool startSet(std::string_view piece, bool last);
    bool copyHeaderAgain(std::uint64_t headerAt);
    bool endSet();
    bool fail(std::string why);
    bool writeFailed();
    bool placeFailed();
    void syncFolder();

    const std::string& m_directory;
    const std::string_view m_promptText;
    const std::string m_folder;
    const std::string m_overflow;
    bool m_noData = false; // the unit's "No data" came: nothing more is written
    LineReader m_reader;
    DataFileWriter m_output;
    ConvertOutcome m_outcome;
    // What happens to the further pieces of a line longer than one piece.
    enum class Rest { Skip, Copy } m_rest = Rest::Skip;
};

ConvertOutcome Conversion::run(const std::string& intermediatePath, const FileIdentity* written) {
    if (!open(intermediatePath, written) || !convertLines())
        return std::move(m_outcome);
    m_outcome.lines.finish();
    if (m_noData)
        return std::move(m_outcome);
    if (m_reader.failed()) {
        fail("cannot read the intermediate file: " + errnoText(errno));
        return std::move(m_outcome);
    }
    if (!endSet()) {
        placeFailed();
        return std::move(m_outcome);
    }
    syncFolder();
    m_outcome.result = ConvertResult::Collected;
    return std::move(m_outcome);
}

bool Conversion::open(const std::string& intermediatePath, const FileIdentity* written) {
    if (!m_reader.open(intermediatePath)) {
        const int err = errno;
        m_outcome.result = ConvertResult::CannotReopen;
        m_outcome.detail = "cannot open " + intermediatePath + ": " + openErrorText(err);
        return false;
    }
    if (written && (m_reader.identity().device != written->device ||
                    m_reader.identity().inode != written->inode)) {
        m_outcome.result = ConvertResult::CannotReopen;
        m_outcome.detail = intermediatePath + " was replaced by another file during the download";
        return false;
    }
    m_outcome.trailingBytes = m_reader.trailingBytes();
    m_outcome.promptLineBytes =
        m_outcome.lines.judgePrompt(m_reader.trailingHead(), m_outcome.trailingBytes, m_promptText);
    m_outcome.cut = m_outcome.promptLineBytes == 0;
    return true;
}

bool Conversion::convertLines() {
    std::string_view piece;
    bool first = false, last = false;
    while (m_reader.nextPiece(piece, first, last)) {
        m_outcome.lines.feed(piece, first, last, m_reader.endedWithCr());
        if (m_noData)
            continue; // read on for the verdict only
        if (!(first ? startLine(piece, last) : continueLine(piece, last)))
            return false;
    }
    return true;
}

bool Conversion::continueLine(std::string_view piece, bool last) {
    if (m_rest == Rest::Copy && (!m_output.writePart(piece) || (last && !m_output.endLine())))
        return writeFailed();
    return true;
}

bool Conversion::startLine(std::string_view piece, bool last) {
    m_rest = Rest::Skip;
    switch (classifyLine(piece)) {
    case LineKind::Blank:
    case LineKind::Comment:
    case LineKind::Command:
        return true;
    case LineKind::NoData:
        if (!endSet())
            return placeFailed();
        syncFolder();
        m_outcome.result = ConvertResult::NoData;
        m_noData = true;
        return true;
    case LineKind::Data:
        if (m_output.isOpen()) {
            if (!m_output.writePart(piece) || (last && !m_output.endLine()))
                return writeFailed();
            m_rest = Rest::Copy;
        }
        return true;
    case LineKind::Header:
        return startSet(piece, last);
    }
    return true;
}

// A header: the data set before it ends, its own file begins with the header line whole.
bool Conversion::startSet(std::string_view piece, bool last) {
    if (!endSet())
        return placeFailed();
    // The name may lie beyond the first piece; only its first bytes are kept.
    const std::uint64_t headerAt = m_reader.lineStart();
    const std::string held = last ? std::string(piece) : std::string();
    const bool wholeHeld = last;
    HeaderName name(kNameHeld);
    bool first = true;
    for (;;) {
        name.feed(piece);
        if (last || !m_reader.nextPiece(piece, first, last))
            break;
        m_outcome.lines.feed(piece, first, last, m_reader.endedWithCr());
    }
    if (m_reader.failed())
        return fail("cannot read the intermediate file: " + errnoText(errno));
    if (!name.hasColon())
        return fail("data-set header without ':'");
    const std::string base = m_directory + fitFileName(safeFileName(name.name()), m_directory);
    if (!m_output.create(base)) {
        const int err = errno;
        return fail(err == EEXIST ? "all names for " + base + ".txt are taken"
                                  : "cannot create " + base + ".txt: " + errnoText(err));
    }
    m_outcome.lastSet = name.name();
    if (wholeHeld)
        return m_output.writeLine(held) || writeFailed();
    return copyHeaderAgain(headerAt);
}

// A header longer than a piece is copied again from the file, piece by piece.
bool Conversion::copyHeaderAgain(std::uint64_t headerAt) {
    m_reader.rewindTo(headerAt);
    std::string_view piece;
    bool first = false, last = false;
    bool more = true;
    while (more && m_reader.nextPiece(piece, first, last)) {
        if (!m_output.writePart(piece))
            return writeFailed();
        more = !last;
    }
    if (more || !m_output.endLine())
        return m_reader.failed() ? fail("cannot read the intermediate file: " + errnoText(errno))
                                 : writeFailed();
    return true;
}

// The data set ends: its file is synced, named and read back. False when that failed.
bool Conversion::endSet() {
    if (!m_output.isOpen())
        return true;
    if (m_output.place()) {
        m_outcome.files.push_back(m_output.path());
        if (m_output.overflowed())
            m_outcome.overflowFolder = m_folder + "/" + m_overflow;
        return true;
    }
    if (errno == 0) { // placed, but what was read back is not what was written
        m_outcome.files.push_back(m_output.path());
        m_outcome.readBack = false;
        if (m_outcome.detail.empty())
            m_outcome.detail = m_output.path() + " read back differs from what was written";
        return true;
    }
    return false;
}

// The folder names the files placed so far: synced once, after the last of them.
void Conversion::syncFolder() {
    if (!m_outcome.files.empty() && !platform::syncFolder(m_folder)) {
        m_outcome.durable = false;
        if (m_outcome.detail.empty())
            m_outcome.detail = "cannot sync the data folder " + m_folder + ": " + errnoText(errno);
    }
}

bool Conversion::fail(std::string why) {
    if (m_output.isOpen()) {
        m_output.close();
        m_outcome.incompleteFile = m_output.path();
    }
    syncFolder();
    m_outcome.result = ConvertResult::InvalidFormat;
    m_outcome.detail = std::move(why);
    return false;
}

bool Conversion::writeFailed() {
    const int err = errno;
    const std::string path = m_output.path();
    if (m_output.isOpen())
        m_output.close();
    m_outcome.incompleteFile = path;
    return fail("cannot write " + path + ": " + errnoText(err));
}

bool Conversion::placeFailed() {
    const int err = errno;
    if (err == EEXIST) {
        m_outcome.incompleteFile = m_output.path();
        return fail("all names for " + m_output.base() + ".txt are taken");
    }
    errno = err;
    return writeFailed();
}

} // namespace

ConvertOutcome convertIntermediateFile(const std::string& intermediatePath,
                                       const std::string& directory, const FileIdentity* written,
                                       std::string_view promptText) {
    return Conversion(directory, promptText).run(intermediatePath, written);
}

bool downloadMayBeIncomplete(const ConvertOutcome& outcome, std::uint64_t lateBytes) {
    return outcome.trailingBytes + lateBytes > outcome.promptLineBytes;
}

} // namespace download
