// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one result type at our own boundaries (storage, fleet, series, office): a value, or an
// error with a kind the code acts on and the words the operator reads. The Parts' own ways
// (the i... primitives' int, EComError) stay where they are; this is for the code around them.
//
// Words are std::string (UTF-8), as most of our boundaries carry them; a Qt caller converts
// with QString::fromStdString. No exceptions: a Result is looked at, hence [[nodiscard]].

#include <cassert>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// What went wrong, as far as a caller decides anything on it. A new kind is added only when
// some caller acts on it differently from the kinds already here.
enum class ErrorKind {
    NotFound, // the file, row or thing asked for is not there
    Busy,     // another program holds it (a lock); trying again later may succeed
    Refused,  // not allowed: permissions, a link where a file was expected, a folder not ours
    Corrupt,  // it is there but is not what it should be (a damaged store, a file that is none)
    Io,       // the disk or the system failed (EIO...); may pass
    Full,     // no room left on the disk; passes when room is made
    TooNew,   // made by a newer version of the program: left as it is
    Invalid,  // what was given (an argument, a name, a value read) is not acceptable
    Server,   // the organisation's server refused or could not be reached
    Internal, // our own mistake: a state the code should never reach
};

// The name of a kind, for logs and tests ("busy", "too-new"...), never for the operator.
constexpr const char* kindName(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::NotFound:
        return "not-found";
    case ErrorKind::Busy:
        return "busy";
    case ErrorKind::Refused:
        return "refused";
    case ErrorKind::Corrupt:
        return "corrupt";
    case ErrorKind::Io:
        return "io";
    case ErrorKind::Full:
        return "full";
    case ErrorKind::TooNew:
        return "too-new";
    case ErrorKind::Invalid:
        return "invalid";
    case ErrorKind::Server:
        return "server";
    case ErrorKind::Internal:
        return "internal";
    }
    return "unknown";
}

// Busy, Io and Full may pass by themselves: a caller that retries retries these.
constexpr bool passes(ErrorKind kind) {
    return kind == ErrorKind::Busy || kind == ErrorKind::Io || kind == ErrorKind::Full;
}

// What a system call's errno means to a caller: the one reading of it for our own files and
// folders (the storage kit's looks, the files the program writes).
constexpr ErrorKind kindOfErrno(int err) {
    switch (err) {
    case ENOENT:
        return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
    case ELOOP:
    case EROFS:
        return ErrorKind::Refused;
    case ENOSPC:
    case EDQUOT:
        return ErrorKind::Full;
    default:
        return ErrorKind::Io;
    }
}

struct Error {
    ErrorKind kind = ErrorKind::Internal;
    std::string text; // for the operator: what happened (and, where known, what to do)
};

inline Error makeError(ErrorKind kind, std::string text) {
    return Error{kind, std::move(text)};
}

// An error of a system call that set `err` (errno), its kind read from it.
inline Error errnoError(int err, std::string text) {
    return Error{kindOfErrno(err), std::move(text)};
}

template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(m_state);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(m_state);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(m_state));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const {
        assert(!ok());
        return std::get<1>(m_state);
    }
    ErrorKind kind() const { return error().kind; }
    const std::string& text() const { return error().text; }

private:
    std::variant<T, Error> m_state;
};

// Done, or an error. A default-constructed one is done: `return {};`.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }

    const Error& error() const {
        assert(!ok());
        return *m_error;
    }
    ErrorKind kind() const { return error().kind; }
    const std::string& text() const { return error().text; }

private:
    std::optional<Error> m_error;
};

} // namespace platform
