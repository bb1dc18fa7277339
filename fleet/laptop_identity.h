// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// This laptop as the server tells it apart from the others: a random UUID made when the
// laptop first shares, kept in "fleet-laptop" in the program's files folder with the machine's
// own id (/etc/machine-id) beside it:
//   <uuid>\t<machine id>\n
// Laptops made from one disk image share the folder's file, and so would share the UUID: a
// machine id that differs from the one kept with it (the image started on another machine)
// makes a new UUID. The laptop's name (fleet.ini's Laptop) is only shown; two laptops of one
// name are still two.
//
// The file is written under a temporary name, synced, and given its name without replacing
// one another program of the folder (xrq-collect) made meanwhile; a new UUID after a clone
// replaces the old file whole. A crash leaves the old file or the new one, never half a line.

#include <QString>

#include <string>

namespace fleet {

inline constexpr const char* kLaptopIdFileName = "fleet-laptop";

struct LaptopIdentity {
    QString id;       // lower-case UUID without braces; never empty
    bool kept = true; // false: it could not be kept, `why` says why (used for this run only)
    std::string why;
};

// The UUID of the laptop whose files folder is `folder` (ending with "/"): the one kept there
// when its machine id is this machine's, else a new one, kept. Any thread; it syncs a file
// when it makes one, so not the UI thread.
LaptopIdentity laptopIdentity(const std::string& folder);

// The file the machine's id is read from: /etc/machine-id. A test points it elsewhere (an
// empty path: the machine has none); the process's whole life, so set it before sharing
// starts.
void setMachineIdFile(const std::string& path);
std::string machineIdFile();

} // namespace fleet
