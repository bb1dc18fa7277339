// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A simulated XRQ unit on a fresh pseudo-terminal, running on a thread of its own.
//
// For end-to-end tests, the whole API in one example:
//
//     sim::SimOptions o;
//     o.linkPath = tempDir + "/ports/COM3";           // the program finds it as COM3
//     o.baud = 0;                                     // unpaced: fast tests
//     o.dataSets = sim::generateDataSets(2, 10);      // or sampleDataSets(), or {}
//     auto unit = sim::PtyUnit::start(o);             // throws std::runtime_error
//     ... let the program talk to COM3 ...
//     EXPECT_EQ(unit->clockSetCount(), 1);
//     EXPECT_TRUE(unit->memory().empty());            // after a clear
//     unit->stop();                                   // or let the destructor do it
//
// Every member may be called from any thread. The unit answers as described in
// unit_model.h, paced and faulted as the options say; setFaults and setMemory change a
// running unit between exchanges. The link is removed when the unit stops (stop(), the
// destructor, or a hang-up fault), but only while it still points at this unit's pty.
//
// The unit holds no descriptor of the pty's slave, as a real unit holds none of the
// computer's port: other programs see the port free until the program opens it. The pty
// lives on while the program opens and closes the port; a hang-up fault closes the master,
// after which the program's reads on the slave fail as on an unplugged adapter.

#include "tools/sim/data_set.h"
#include "tools/sim/sim_options.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class PtyUnit {
public:
    // Opens a pty, links it, loads the state file, starts the line thread. Throws
    // std::runtime_error with a message for the operator when any of this fails (nothing is
    // left behind then).
    static std::unique_ptr<PtyUnit> start(const SimOptions& options);
    ~PtyUnit(); // stop()

    PtyUnit(const PtyUnit&) = delete;
    PtyUnit& operator=(const PtyUnit&) = delete;

    // Ends the line thread, closes the pty, removes the link and writes the state file.
    // Idempotent.
    void stop();

    // e.g. /dev/pts/7. A pty that a program killed while holding it left exclusive (which a
    // real port is not after its last close) is replaced by a fresh one under the same link.
    std::string slavePath() const;
    // Waits until the unit is on another pty than `old` (true) or the timeout runs out.
    bool waitForNewPty(const std::string& old, std::chrono::milliseconds timeout) const;
    const std::string& linkPath() const; // as given; empty when none

    std::string serialNumber() const;
    std::chrono::system_clock::time_point unitClock() const;
    std::string unitClockText() const; // yy-mm-dd HH:MM:SS, local time
    int clockSetCount() const;         // clock texts accepted since start
    std::string lastClockText() const; // the last one accepted
    std::vector<DataSet> memory() const;
    int clearCount() const; // completed clear sequences

    void setMemory(std::vector<DataSet> sets);
    void setFaults(const FaultOptions& faults);
    // The cable moved to another unit on the same port (the pty stays open): from the next
    // command on, this is a unit with that serial number and memory.
    void becomeUnit(const std::string& serialNumber, std::vector<DataSet> sets);

    // Every byte the unit has received, in order.
    std::string received() const;
    // Waits until received() contains `text` (true) or the timeout runs out (false).
    bool waitForReceived(std::string_view text, std::chrono::milliseconds timeout) const;
    // Bytes written to the pty so far.
    std::uint64_t bytesSent() const;
    // Bytes written to the pty since the last "F" arrived: its download (noise before it
    // included), and whatever was still queued of an earlier reply (none when the program
    // waits for each reply's prompt).
    std::uint64_t bytesSentSinceDownload() const;
    // Waits until everything queued so far has been written to the pty.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    bool running() const;
    bool hungUp() const; // a hang-up fault has closed the pty
    bool waitUntilStopped(std::chrono::milliseconds timeout) const;

    struct Impl;

private:
    explicit PtyUnit(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace sim
