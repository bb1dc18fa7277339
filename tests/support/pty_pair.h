// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A pseudo-terminal pair for tests that need a real tty without touching the machine's own
// serial ports. The test plays the far end on the master; the code under test opens the
// slave by its path, or as COMn through a link in a temporary port folder.
//
// The slave is put in raw mode once at construction, so bytes written on the master arrive
// unchanged (no echo, no line editing) even before the code under test configures it.

#include <chrono>
#include <string>

namespace testsupport {

class PtyPair {
public:
    PtyPair(); // fails the current test (ADD_FAILURE) when no pty can be had
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    const std::string& slavePath() const { return m_slavePath; }

    // Makes <folder>/COM<n> a symbolic link to the slave and returns the link's path.
    std::string linkAs(const std::string& folder, int n) const;

    // Hangs up the far end: the slave side sees POLLHUP / EIO from now on.
    void closeMaster();
    // The device goes as an unplugged adapter's does: the master closes and the slave's node
    // disappears, while a slave end held here keeps the pty's number taken until the pair is
    // destroyed. (Freed at once, the number goes to the next pty any test opens, and the
    // vanished node would be there again.)
    void vanish();

    // Writes all of `bytes` on the master, waiting for room up to `timeout`.
    bool writeMaster(const std::string& bytes,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads from the master until `count` bytes have come or `timeout` has passed, and
    // returns what came (possibly fewer bytes).
    std::string readMaster(std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads whatever arrives within `quiet` of the last byte (for "nothing more came" checks).
    std::string drainMaster(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

private:
    int m_master = -1;
    int m_heldSlave = -1;
    std::string m_slavePath;
};

} // namespace testsupport
