// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The second phase of a download: reading the intermediate file back and splitting it into
// one data file per data set. Built from the line kinds (line_kinds.h), the line reader
// (line_reader.h), the data-file names (data_file_names.h) and the data-file writer
// (data_file_writer.h). Nothing here touches a window, so tests drive it directly; the main
// window only shows the outcome.
//
// Files are handled through plain descriptors with large buffers: the intermediate file is
// read line by line and never held whole, and a data file is created exclusively, so an
// existing file (or a link in its place) is never overwritten.

#include "download/data_file_names.h"
#include "download/data_file_writer.h"
#include "download/download_verdict.h"
#include "download/line_kinds.h"
#include "download/line_reader.h"
#include "platform/result.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace download {

// Name of the intermediate file, in the process's working directory.
inline constexpr const char* kIntermediateFileName = "_$XRQInt.txt";

// Path bytes of a directory typed by the operator (local 8-bit encoding of file names).
std::string directoryBytes(const QString& directory);

// Whether data files can be created under `directory` (a prefix: the folder is the part up
// to its last '/'). Tried for real with a file created and removed at once, since the
// permission bits alone do not tell (a read-only mount, a full disk of inodes, root). The
// error says why not: Refused (permissions, a read-only mount), Full, NotFound...
platform::Result<void> canCreateFilesIn(const std::string& directory);

// The reason an open of a fixed-name file failed, in the operator's words.
std::string openErrorText(int err);

enum class ConvertResult {
    Collected,     // end of file reached: "Data collected and placed in " + directory
    NoData,        // the unit answered "No data"
    InvalidFormat, // header without ':', a data file not created or not written in full
    CannotReopen,  // the intermediate file could not be opened for reading
};

struct ConvertOutcome {
    ConvertResult result = ConvertResult::Collected;
    // Data files placed under their real names, synced and read back, in order (kept on
    // every outcome).
    std::vector<std::string> files;
    std::string detail; // why InvalidFormat / CannotReopen came about (for the log)
    // A data file cut by a failure, under its temporary name (empty when none).
    std::string incompleteFile;
    // Every placed file and the folder naming them are on the disk.
    bool durable = true;
    // Read back, every placed file holds exactly the lines the conversion wrote.
    bool readBack = true;
    // The intermediate file ends without the unit's prompt (a cut download): the last data
    // set, lastSet, is incomplete, and only the whole lines that arrived of it are written.
    bool cut = false;
    std::string lastSet;
    // What the conversion left out: the prompt's line (the bytes after the file's last line
    // end, or a line that is only the prompt), and how many of them are the prompt's own (up
    // to and including its '>', with blanks and line ends after it; 0 when they hold none).
    std::uint64_t trailingBytes = 0;
    std::uint64_t promptLineBytes = 0;
    // Every line read judged by the line rules (the whole file, also past a "No data" line
    // where the conversion stops writing; finished unless the conversion failed).
    LineJudge lines;
    // Data sets whose numbered names were all taken went into this folder (empty: none).
    std::string overflowFolder;
};

// Splits the intermediate file into data files named after their headers under
// `directory` (used as a plain prefix, nothing inserted). Files placed before a failure
// stay as they are, the one cut by it under its temporary name; the intermediate file is
// only read. With `written`, a file that is not the one written (replaced meanwhile) counts
// as one that cannot be reopened. `promptText`: what the unit put before its prompt when it
// answered "!" in this visit (the prompt's line may hold it).
ConvertOutcome convertIntermediateFile(const std::string& intermediatePath,
                                       const std::string& directory,
                                       const FileIdentity* written = nullptr,
                                       std::string_view promptText = {});

// True when the bytes the download threw away after the unit's prompt (those left out of
// the conversion, and those that arrived after the capture had ended) are more than the
// prompt's own line: the '>' then stood inside the data, and the download may be incomplete.
bool downloadMayBeIncomplete(const ConvertOutcome& outcome, std::uint64_t lateBytes);

} // namespace download
