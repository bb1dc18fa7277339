// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The platform's port settings dialog as the port component calls it: CommConfigDialogA
// checks its arguments and hands the record to the dialog the windows put here (our own,
// widgets/comm_config_dialog.h). A program without windows has none, and the call fails as
// it does off the UI thread. UI thread only.

#include "platform/win_comm.h"

#include <functional>

namespace win {

constexpr DWORD ERROR_CANCELLED = 1223;

// Shows the dialog for the device `name` on config->dcb. TRUE: confirmed, the record holds
// the new values. FALSE: cancelled (last error 1223, record untouched) or bad arguments (87),
// or no dialog here or not called on the UI thread (31). `owner` is not used: the dialog has
// no owner window.
BOOL CommConfigDialogA(const char* name, void* owner, COMMCONFIG* config);

} // namespace win

namespace platform {

// What CommConfigDialogA runs once its arguments are checked: TRUE when confirmed, else
// FALSE with the last error set. Returns the previous one.
using CommConfigShower = std::function<win::BOOL(const char* name, win::COMMCONFIG* config)>;
CommConfigShower setCommConfigShower(CommConfigShower shower);

} // namespace platform
