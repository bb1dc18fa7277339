// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/error_table.h"

#include <cerrno>
#include <cstring>

namespace platform {

using namespace win;

DWORD errorFromErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case ELOOP:
    case ENAMETOOLONG:
    case ENOTTY:
    case EIO: // a phantom port that has no UART behind it
        return ERROR_FILE_NOT_FOUND;
    case EBUSY:
    case EWOULDBLOCK:
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::string errorMessage(DWORD code, int err) {
    std::string text;
    switch (code) {
    case ERROR_SUCCESS:
        text = "The operation completed successfully.";
        break;
    case ERROR_FILE_NOT_FOUND:
        text = "The serial device does not exist.";
        break;
    case ERROR_ACCESS_DENIED:
        text = "Access to the serial device is denied: it is in use, not permitted, or has gone.";
        break;
    case ERROR_INVALID_HANDLE:
        text = "The handle is not valid (the port is not open).";
        break;
    case ERROR_GEN_FAILURE:
        text = "The serial device does not work.";
        break;
    case ERROR_INVALID_PARAMETER:
        text = "A parameter is not valid for the serial device.";
        break;
    case ERROR_INSUFFICIENT_BUFFER:
        text = "The data area passed is too small.";
        break;
    case ERROR_OPERATION_ABORTED:
        text = "The operation was aborted.";
        break;
    case ERROR_IO_INCOMPLETE:
        text = "The operation has not completed yet.";
        break;
    case ERROR_IO_PENDING:
        text = "The operation is in progress.";
        break;
    default:
        text = "Error " + std::to_string(code) + ".";
        break;
    }
    if (err != 0) {
        char buf[256];
        const char* reason = strerror_r(err, buf, sizeof buf);
        text.pop_back(); // the full stop
        text += " (";
        text += reason;
        text += ").";
    }
    return text;
}

} // namespace platform
