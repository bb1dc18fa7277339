// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the data directory typed in Setup means for the files of a download. The text is
// joined to each data-set name unchanged, so "/x/Field/typed" would put "typedRIVER-A.txt"
// beside the folder "typed". When the text names an existing folder it is taken as that
// folder (a "/" added); when its last part names no folder it keeps its old meaning, a
// prefix of the file names, and the operator is told so in Setup and in the closing message.
// Plain logic over path bytes (the local 8-bit encoding of file names).

#include <string>
#include <vector>

namespace download {

struct DataTarget {
    std::string typed;      // as the operator typed it
    std::string prefix;     // what each data-set name (and ".txt") is joined to
    std::string folder;     // the folder the files go into, ending with "/" (empty: working folder)
    std::string namePrefix; // the text before each data-set name in a file name ("" for a folder)
    bool slashAdded = false; // typed without a final "/" and taken as the folder it names
};

DataTarget resolveDataDirectory(const std::string& typed);

// The folder for the operator: `folder`, or the working folder's full path when empty.
std::string shownFolder(const DataTarget& target);

// Setup's note for a prefix: "files will be named <prefix>NAME.txt in <folder>"; empty when
// the text is a folder (or empty).
std::string prefixNote(const DataTarget& target);

// The run-log line for a text taken as a folder; empty when nothing was added.
std::string folderTakenLine(const DataTarget& target);

// "Data collected and placed in " and the folder; for a prefix, also the names of the files
// (the first few of them and how many there are), since no folder of the typed name exists.
std::string collectedText(const DataTarget& target, const std::vector<std::string>& files);

} // namespace download
