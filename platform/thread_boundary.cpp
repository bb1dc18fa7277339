// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/thread_boundary.h"

#include <cstdio>
#include <exception>

namespace platform {

std::string currentExceptionText() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        try {
            return e.what();
        } catch (...) {
        }
    } catch (...) {
    }
    return "an unexpected error";
}

void logUnexpected(const char* where, const std::string& what) noexcept {
    // One call, so that lines of two threads do not interleave.
    std::fprintf(stderr, "xrq: unexpected error in %s: %s\n", where ? where : "a worker",
                 what.c_str());
    std::fflush(stderr);
}

} // namespace platform
