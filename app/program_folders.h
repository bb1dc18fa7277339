// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The folders the program works in, worked out at start from what the system supplies:
//   ProgramPath    the program file's folder, ending with "/";
//   TempFilesPath  <generic data location>/Quorvant/XRQ/ (settings, run log, port folder),
//                  or ProgramPath when no such location is supplied;
//   default data directory  <desktop>/XRQ Data/, else <documents>/Quorvant/XRQ/, else
//                  ProgramPath.
// A supplied location is a non-empty one; the folder below it is then created with its
// parents. A folder that cannot be created is not reported (the settings then read as
// defaults and the log is not written). Tests hand in temporary locations.

#include <string>

struct ProgramLocations {
    std::string programDir; // folder of the program file (a trailing "/" is optional)
    std::string appData;    // empty: not supplied
    std::string desktop;
    std::string documents;
    // Where the port table looks for devices; tests point these at temporary folders.
    std::string deviceDir = "/dev";
    std::string sysfsDir = "/sys";

    // The running program's own locations (application folder, QStandardPaths).
    static ProgramLocations fromSystem();
};

struct ProgramFolders {
    std::string programPath;
    std::string tempFilesPath;
    std::string defaultDataDirectory;
};

ProgramFolders resolveProgramFolders(const ProgramLocations& where);

// "dir" -> "dir/"; "" stays "".
std::string withTrailingSlash(std::string dir);
