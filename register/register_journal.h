// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Events the register could not write before the program ended are kept in a journal beside
// it ("units-pending.jsonl"), one JSON line per event, appended and synced to the disk
// (fdatasync, and the folder when the file is new) before the program says they are kept.
// The next start replays it into the register and then removes it. Replaying is harmless
// more than once: every event carries its identity and the register keeps an identity once.
//
// Two programs may share the folder (the window and the collector): each append and the
// replay hold an exclusive lock (flock) on the file, and an append that finds its file
// removed under it starts a new one, so that no line goes to a file already replayed.
// Bytes (serial numbers, paths, the unit's replies) are carried as Latin-1 text, one
// character per byte, so they come back exactly.

#include "platform/result.h"
#include "register/unit_register.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace unitreg {

using Event =
    std::variant<Visit, BatteryReading, ClockSet, Download, Clear, Identification, JudgedAgain>;

const std::string& eventId(const Event& event);
const std::string& eventSerial(const Event& event);
// Writes the event; true when it is in the register (now or before).
bool recordEvent(UnitRegister& reg, const Event& event);

// One line of the journal, without its line end.
QByteArray eventLine(const Event& event);
std::optional<Event> eventFromLine(const QByteArray& line);

// The journal beside a register file.
std::string journalPath(const std::string& registerPath);

// Appends the events (one write) and syncs them; an error when they are not safely on the
// disk.
platform::Result<void> appendToJournal(const std::string& path, const std::vector<Event>& events);

struct ReplayOutcome {
    bool found = false;    // there was a journal
    bool replayed = false; // every event in it is in the register and the file is gone
    int events = 0;
    int unreadable = 0; // lines that were no event (a line torn by a crash); left out
    std::string why;    // when not replayed
};
// Hands the journal's events to `write` (one transaction, say) and removes the file when it
// returns true.
ReplayOutcome replayJournal(const std::string& path,
                            const std::function<bool(const std::vector<Event>&)>& write);

} // namespace unitreg
