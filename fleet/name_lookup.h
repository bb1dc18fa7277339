// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The server's host name looked up before libpq connects, so that no wait of a connection
// blocks in the resolver: libpq resolves names synchronously inside PQconnectStart and
// PQconnectPoll, where neither a deadline nor a stop can end it, and tells its failures only
// in words. Here each lookup runs on a thread of its own; the connection waits for it in
// poll() on the lookup's eventfd and the connection's stop descriptor, with the connection's
// deadline, and hands libpq the addresses (hostaddr) beside the name (host, which TLS's
// verify-full checks the certificate against).
//
// Threads: one std::thread per lookup, detached. A lookup that does not end (a DNS server that
// never answers) is left to its thread, which touches only the lookup's own state (shared with
// the waiter, freed by whichever ends last) and ends when the resolver returns. The program
// must then not run its exit (static destructors, unloading the resolver's modules) under
// that thread: lookupsRunning() says whether one is left, and the programs end with _exit
// after their files are synced (endProcessIfLookupsLeft).

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace fleet {

struct NameAnswer {
    // 0, or getaddrinfo's EAI_* code: EAI_NONAME and EAI_NODATA say the name does not exist,
    // EAI_AGAIN and EAI_FAIL that the lookup failed for now.
    int error = 0;
    std::vector<std::string> addresses; // numeric, in the resolver's order
};

// The resolver (getaddrinfo for TCP). Runs on the lookup's thread.
using NameResolver = std::function<NameAnswer(const std::string& host)>;
// A test's resolver (one that never returns, say) for the whole process; null puts
// getaddrinfo back. Set it while no connection is being made.
void setNameResolver(NameResolver resolver);

enum class LookupEnd { Answered, TimedOut, Stopped };
// Looks `host` up on a thread of its own and waits for its answer until `deadline`, or until
// `stopFd` (-1: none) becomes readable.
LookupEnd lookUpName(const std::string& host, std::chrono::steady_clock::time_point deadline,
                     int stopFd, NameAnswer& answer);

// Lookups whose thread has not ended yet (some may have been left by their waiter).
std::size_t lookupsRunning();

// Whether the resolver's answer says the name does not exist (rather than "not now").
bool nameUnknown(int error);

// A program's last word: when a lookup was left to its thread, ends the process here with
// `status` (stdio flushed, then _exit, as xrq-view ends), so that the exit's destructors never
// run under that thread; otherwise returns `status` for main to return. Call once every file
// the program wrote is complete and synced.
int endProcessIfLookupsLeft(int status);

} // namespace fleet
