// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Whether another thread of this process has gone to sleep in the kernel: for a test that must
// act only once a call on that thread is blocked (a flush waiting on held output, say) and
// that has no event telling it so. Linux offers none, so the wait looks at the thread's state
// in /proc between short naps; it guesses nothing about timing.

#include <sys/types.h>

#include <chrono>

namespace testsupport {

// The calling thread's id in the kernel, for waitUntilThreadSleeps.
pid_t currentThreadId();

// Waits until thread `tid` of this process is asleep (state S or D: blocked on a lock, a
// condition or I/O); false when `deadline` passes first or the thread has ended.
bool waitUntilThreadSleeps(pid_t tid,
                           std::chrono::milliseconds deadline = std::chrono::seconds(20));

} // namespace testsupport
