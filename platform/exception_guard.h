// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one guard for every entry from Qt into our handlers: actions, timers, notifiers, queued
// and synchronized routines. Qt does not carry exceptions through its event loop, so an
// exception that escapes a handler is caught here, shown in an error box (caption "XRQ", the
// exception's message; the windowed programs put the box in place, see
// setFallbackExceptionPresenter, else the message goes to standard error) and the handler
// simply returns; an exception never ends the program.
//
// Usage:
//   connect(action, &QAction::triggered, this, platform::guarded([this] { ActionXExecute(); }));
//   platform::runGuarded([&] { ... });
//
// UI thread only: the box is modal and runs a nested event loop.

#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

namespace platform {

// Base for exceptions that end an operation on purpose and must not be reported: the guard
// swallows them without a box. Derive alongside std::exception, e.g.
//   class EQuiet : public std::exception, public platform::SilentException { ... };
class SilentException {
public:
    virtual ~SilentException() = default;
};

// Shows the box for an exception that reached the guard. Replaceable so that tests (and the
// collector) can record the box instead of showing it; returns the previous presenter. An
// empty one puts the fallback back.
using ExceptionPresenter = std::function<void(const std::string& message)>;
ExceptionPresenter setExceptionPresenter(ExceptionPresenter presenter);
// What shows the box while no presenter is set: the windows' error box (installed by the
// windowed programs' start, widgets/message_boxes.h); an empty one: standard error.
void setFallbackExceptionPresenter(ExceptionPresenter presenter);

// Reports the exception currently being handled (call only inside a catch block); a
// SilentException is dropped without a report.
void reportCurrentException() noexcept;

template <class F> void runGuarded(F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
        reportCurrentException();
    }
}

namespace detail {
// A function of its own rather than an `if constexpr` inside the wrapper's nested lambda:
// clang 14 instantiates the discarded call there and rejects a callable that takes arguments.
template <class F, class... Args> void callWithOrWithoutArgs(F& body, Args&&... args) {
    if constexpr (std::is_invocable_v<F&, Args...>)
        body(std::forward<Args>(args)...);
    else
        body();
}
} // namespace detail

// Wraps a callable so that every call to it runs inside the guard. The signal's arguments pass
// through when the callable takes them; a callable that takes none ignores them (so
// `guarded([this] { ... })` fits QAction::triggered(bool) as well as QTimer::timeout()).
// Qt asks whether a slot is callable with fewer of the signal's arguments to learn how many it
// takes; the constraint and the spelled-out return type let it get a plain "no".
template <class F> auto guarded(F body) {
    return [body = std::move(body)]<class... Args>(Args && ... args) mutable noexcept
           -> void requires std::is_invocable_v<F&, Args...> || std::is_invocable_v<F&> {
        runGuarded([&] { detail::callWithOrWithoutArgs(body, std::forward<Args>(args)...); });
    };
}

} // namespace platform
