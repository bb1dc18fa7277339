// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Opening a file that the program knows by a fixed name in a folder others may write to (the
// intermediate download file in the working folder, the run log and its trimming file). A
// link planted under that name would make us write through it into another file, and a FIFO
// would block the open until someone opened its other end (who would then read what we
// write). So links are never followed, the open never blocks, and only a regular file is
// accepted; a new file is created exclusively. Each call returns a descriptor (close-on-exec,
// blocking again after the checks) or -1 with errno set: ELOOP for a link, EINVAL for a file
// that is no regular file (FIFO, device, folder), or the system's own error.

#include <string>
#include <sys/types.h>

namespace platform {

enum class FixedOpen {
    Truncate,  // write from the start: an existing regular file is emptied, else created
    Append,    // append to an existing regular file, else create it
    CreateNew, // create; an existing entry of that name (a link included) counts as taken
};

int openFixedNameForWriting(const std::string& path, FixedOpen how, mode_t createMode = 0666);

// Owner and mode of an existing file that a private open refused, as fstat saw them on the
// opened descriptor.
struct ForeignFile {
    uid_t owner = 0;
    mode_t mode = 0;
};

// As openFixedNameForWriting, and the file must be ours alone: it belongs to the user running
// the program and nobody else may write it (a file another local user planted in a shared
// folder, or one they may edit while we write, would let them change what we record). Checked
// on the opened descriptor before anything is emptied; a refusal returns -1 with errno EPERM
// and fills `foreign`. A new file is created with `createMode` (keep group and others' write
// bits out of it, or the next open refuses it).
int openPrivateFixedNameForWriting(const std::string& path, FixedOpen how, mode_t createMode,
                                   ForeignFile* foreign = nullptr);

// For reading; the same refusals.
int openFixedNameForReading(const std::string& path);

} // namespace platform
