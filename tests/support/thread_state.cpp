// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/thread_state.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace testsupport {

pid_t currentThreadId() {
    return ::gettid();
}

namespace {

// The state letter of /proc/self/task/<tid>/stat, or 0 when the thread is gone. The name in
// parentheses before it may hold spaces and parentheses, so the state is found after the last ')'.
char threadState(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string stat(std::istreambuf_iterator<char>(in), {});
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return 0;
    return stat[close + 2];
}

} // namespace

bool waitUntilThreadSleeps(pid_t tid, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        const char state = threadState(tid);
        if (state == 'S' || state == 'D')
            return true;
        if (state == 0 || std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace testsupport
