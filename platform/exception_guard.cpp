// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/exception_guard.h"

#include <cstdio>

namespace platform {
namespace {

void toStandardError(const std::string& message) {
    std::fprintf(stderr, "XRQ: %s\n", message.c_str());
}

// Empty: the fallback shows it.
ExceptionPresenter& presenter() {
    static ExceptionPresenter current;
    return current;
}

ExceptionPresenter& fallback() {
    static ExceptionPresenter shower = toStandardError;
    return shower;
}

} // namespace

ExceptionPresenter setExceptionPresenter(ExceptionPresenter next) {
    ExceptionPresenter previous = std::move(presenter());
    presenter() = std::move(next);
    return previous;
}

void setFallbackExceptionPresenter(ExceptionPresenter shower) {
    fallback() = shower ? std::move(shower) : ExceptionPresenter(toStandardError);
}

void reportCurrentException() noexcept {
    std::string message;
    try {
        throw;
    } catch (const SilentException&) {
        return;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "An unexpected error occurred.";
    }
    try {
        // Copy: the presenter may replace itself while its box is open.
        ExceptionPresenter show = presenter() ? presenter() : fallback();
        show(message);
    } catch (...) {
        // A failing box must not take the program down with it.
        std::fprintf(stderr, "XRQ: %s\n", message.c_str());
    }
}

} // namespace platform
