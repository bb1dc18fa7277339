// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a data file is called: a data set's name made safe for the file system, cut to what
// the file system takes, and the numbered names (base.txt, base_000.txt ... base_998.txt)
// tried in order so that no existing file is ever replaced.

#include <string>
#include <string_view>

namespace download {

// The name as a file-name component: its Latin-1 characters in UTF-8; control characters and
// those that Windows and FAT/exFAT memory sticks refuse (\ / : * ? " < > |) become '_', so
// the data can be copied to a stick and the name can never lead out of the data directory.
std::string safeFileName(std::string_view name);

// The longest name that still makes a file name the system accepts (numbered form included)
// after `directory`, whose last component the name is joined to. A longer name is cut there,
// never inside a UTF-8 character: a set kept under a shortened name beats a download that
// fails.
std::string fitFileName(std::string name, std::string_view directory);

// How many names a data set's file may take: base.txt, then base_000.txt to base_998.txt.
inline constexpr int kFileNameChoices = 1000;
// The `choice`-th name (0 <= choice < kFileNameChoices) of the data set whose names are
// based on `base`.
std::string dataFileName(const std::string& base, int choice);

} // namespace download
