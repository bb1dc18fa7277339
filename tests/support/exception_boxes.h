// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Records the error boxes the exception guard would show, instead of showing them, for as
// long as it lives (tests that drive whole windows use dialogs::ScriptedDialogs instead).
// Header only: the test area links the platform library that holds the guard.

#include "platform/exception_guard.h"

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ExceptionBoxes {
public:
    ExceptionBoxes()
        : m_previous(platform::setExceptionPresenter(
              [this](const std::string& message) { messages.push_back(message); })) {}
    ~ExceptionBoxes() { platform::setExceptionPresenter(std::move(m_previous)); }
    ExceptionBoxes(const ExceptionBoxes&) = delete;
    ExceptionBoxes& operator=(const ExceptionBoxes&) = delete;

    std::vector<std::string> messages;

private:
    platform::ExceptionPresenter m_previous;
};

} // namespace testsupport
