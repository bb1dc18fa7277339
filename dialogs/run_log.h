// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The run log: one time-stamped line per event, appended to LogFilePath, trimmed from the
// front when the file has grown past the size limit. Logging never fails towards its caller
// and never shows anything: a line that cannot be written is lost.
//
// Line format (bytes, CR LF on disk):  "26/12/06 07:00:01 (:00118) ***** Program Start *****"
//   local time "%y/%m/%d %H:%M:%S", " (:", the reporting line as "%5.5u", ") ", the message;
//   the whole line stripped of leading/trailing bytes <= 32, then every CR and LF left inside
//   it replaced by a space, so each event stays on one line.
//
// Called on the UI thread; a mutex keeps a stray call from another thread from interleaving.

#include <cstdint>
#include <ctime>
#include <string>

// Folder of the settings file, the run log and its trimming file; ends with "/". Set once by
// the main window at start.
extern std::string TempFilesPath;
// Full path of the run log; empty until the main window sets it (writes are lost until then).
extern std::string LogFilePath;
// Size limit of the run log in bytes: 200000, passed by every caller of LogWrite.
extern std::int32_t LogSizeLimit;

void LogWrite(const std::string& message, unsigned line, std::int32_t limit);

namespace runlog {

// The line as it goes into the file, without its CR LF.
std::string formatLine(std::time_t when, unsigned line, const std::string& message);

// Strips leading/trailing bytes <= 32 and turns inner CR/LF into spaces.
std::string cleanLine(std::string text);

// Name of the file a trim writes before it replaces the log; lies beside the log.
std::string trimFilePath(const std::string& logPath);

// LogWrite against an explicit file and time (what LogWrite does with LogFilePath and now).
void writeLine(const std::string& logPath, std::time_t when, const std::string& message,
               unsigned line, std::int32_t limit);

} // namespace runlog
