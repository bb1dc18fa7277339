// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one rule for a number written in a device or port name: the whole text is decimal
// digits ('0' to '9' only: no sign, no space, no locale), at least one and at most maxDigits.
// std::from_chars would accept a shorter prefix of the text, and strtol a sign and spaces,
// so the callers' names ("COM12", "ttyUSB3", a combo entry) are checked here instead.
#include <optional>
#include <string_view>

namespace platform {

// The value of digits, or nothing; maxDigits at most 9 so that the value fits an int.
inline std::optional<int> parseDecimalDigits(std::string_view digits, std::size_t maxDigits = 9) {
    if (digits.empty() || digits.size() > maxDigits || maxDigits > 9)
        return std::nullopt;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace platform
