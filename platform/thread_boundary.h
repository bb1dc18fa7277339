// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one boundary of a worker thread or a job off the UI thread (a read of the server, a
// count, a web request's answer): an exception that escapes the work is caught here, logged
// to standard error with where it happened, and the thread goes on with its next job; it
// never ends the program (an exception leaving a std::thread's function calls
// std::terminate). The UI thread's handlers have their own guard, which shows a box
// (exception_guard.h); this one shows nothing and may run on any thread.
//
//   std::thread([...] { platform::runBoundary("counting", [&] { ... }); });
//   if (!platform::runBoundary("page", [&] { answer = serve(r); }, &why)) answer = error(why);

#include <string>
#include <utility>

namespace platform {

// The text of the exception being handled (call only inside a catch block).
std::string currentExceptionText() noexcept;
// Writes "xrq: unexpected error in <where>: <what>" to standard error, whole, from any thread.
void logUnexpected(const char* where, const std::string& what) noexcept;

// Runs `body`; false (with the exception's text in `why`, when given) when it threw.
template <class F>
bool runBoundary(const char* where, F&& body, std::string* why = nullptr) noexcept {
    try {
        std::forward<F>(body)();
        return true;
    } catch (...) {
        const std::string what = currentExceptionText();
        logUnexpected(where, what);
        if (why) {
            try {
                *why = what;
            } catch (...) {
            }
        }
        return false;
    }
}

} // namespace platform
