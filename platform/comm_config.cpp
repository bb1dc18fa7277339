// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/comm_config.h"

#include <utility>

namespace platform {
namespace {

CommConfigShower& showerSlot() {
    static CommConfigShower shower;
    return shower;
}

} // namespace

CommConfigShower setCommConfigShower(CommConfigShower shower) {
    return std::exchange(showerSlot(), std::move(shower));
}

} // namespace platform

namespace win {

BOOL CommConfigDialogA(const char* name, void*, COMMCONFIG* config) {
    if (name == nullptr || config == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const platform::CommConfigShower& shower = platform::showerSlot();
    if (!shower) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return shower(name, config);
}

} // namespace win
