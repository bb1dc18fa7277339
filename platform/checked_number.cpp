// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/checked_number.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace platform {
namespace {

// Longer texts are no number a reader needs: a bound on the work a hostile value costs.
constexpr std::size_t kMostChars = 64;

bool wholeText(std::string_view text) {
    return !text.empty() && text.size() <= kMostChars && text.front() != '+';
}

bool sameLetters(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char c = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

} // namespace

std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t least,
                                         std::int64_t most) {
    if (!wholeText(text))
        return std::nullopt;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < least || value > most)
        return std::nullopt;
    return value;
}

std::optional<double> parseFinite(std::string_view text, double least, double most) {
    if (!wholeText(text))
        return std::nullopt;
    double value = 0;
    // fixed and scientific, never hexadecimal; "inf" and "nan" parse but are not finite.
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < least || value > most)
        return std::nullopt;
    return value;
}

bool isInfinityText(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        text.remove_prefix(1);
    return sameLetters(text, "infinity") || sameLetters(text, "inf");
}

std::optional<std::int64_t> parseEpochMs(std::string_view text) {
    if (isInfinityText(text))
        return std::nullopt;
    if (const auto whole = parseInteger(text, kLeastEpochMs, kMostEpochMs))
        return whole;
    // A fraction of a ms (the server's numeric epoch times a thousand): toward the past, as
    // a whole ms of the time it is in.
    // The bounds as doubles are rounded (above 2^53 a double steps by 2): the range is checked
    // again on the whole ms.
    const auto value = parseFinite(text, double(kLeastEpochMs) - 2, double(kMostEpochMs) + 2);
    if (!value)
        return std::nullopt;
    const auto ms = std::int64_t(std::floor(*value));
    if (ms < kLeastEpochMs || ms > kMostEpochMs)
        return std::nullopt;
    return ms;
}

} // namespace platform
