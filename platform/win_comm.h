// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The communications calls the serial port component is written against, with the meanings,
// record layouts, flag values and error numbers of the Windows communications API. This is
// the only interface between comport/ and the operating system: termios, ioctls, poll and
// the I/O thread live behind it (win_comm.cpp, serial_driver.*), so that the component keeps
// its logic unchanged and tests can drive it over ptys or the in-memory null-modem pair.
//
// All calls are thread-safe on distinct handles and on one handle from two threads (the UI
// thread reads and writes while the event thread waits for line events), as on Windows.
// Failures return FALSE / INVALID_HANDLE_VALUE / 0 and set the calling thread's last error.

#include <cstdint>
#include <string>

namespace win {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// An open device or an event object. Opaque; compared only with INVALID_HANDLE_VALUE/nullptr.
struct Object;
using HANDLE = Object*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

// Error numbers (the only ones this layer produces).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;

// CreateFileA
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

constexpr DWORD MAXDWORD = 0xFFFFFFFF;

// Waits
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Event mask bits (SetCommMask / WaitCommEvent)
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_PERR = 0x0200;
constexpr DWORD EV_RX80FULL = 0x0400;
constexpr DWORD EV_EVENT1 = 0x0800;
constexpr DWORD EV_EVENT2 = 0x1000;
constexpr DWORD EV_ALL = 0x1FFF; // every bit above

// PurgeComm
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// ClearCommError error word
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_PTO = 0x0200;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_DNS = 0x0800;
constexpr DWORD CE_OOP = 0x1000;
constexpr DWORD CE_MODE = 0x8000;

// GetCommModemStatus
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// DCB codes
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

// DCB flag word bits (the bit fields of the Windows record, as one word).
constexpr DWORD DCB_fBinary = 0x0001;
constexpr DWORD DCB_fParity = 0x0002;
constexpr DWORD DCB_fOutxCtsFlow = 0x0004;
constexpr DWORD DCB_fOutxDsrFlow = 0x0008;
constexpr DWORD DCB_fDtrControlMask = 0x0030; // 0x00 disable, 0x10 enable, 0x20 handshake
constexpr DWORD DCB_fDsrSensitivity = 0x0040;
constexpr DWORD DCB_fTXContinueOnXoff = 0x0080;
constexpr DWORD DCB_fOutX = 0x0100;
constexpr DWORD DCB_fInX = 0x0200;
constexpr DWORD DCB_fErrorChar = 0x0400;
constexpr DWORD DCB_fNull = 0x0800;
constexpr DWORD DCB_fRtsControlMask = 0x3000; // 0 disable, 0x1000 enable, 0x2000 hs, 0x3000 toggle
constexpr DWORD DCB_fAbortOnError = 0x4000;
// The DTR and RTS control values, in place in the flag word.
constexpr DWORD DTR_CONTROL_DISABLE = 0x0000;
constexpr DWORD DTR_CONTROL_ENABLE = 0x0010;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 0x0020;
constexpr DWORD RTS_CONTROL_DISABLE = 0x0000;
constexpr DWORD RTS_CONTROL_ENABLE = 0x1000;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 0x2000;
constexpr DWORD RTS_CONTROL_TOGGLE = 0x3000;

struct DCB {
    DWORD DCBlength = 0;
    DWORD BaudRate = 0;
    DWORD Flags = 0;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 0;
    BYTE Parity = 0;
    BYTE StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    DWORD Flags = 0; // fCtsHold .. fTxim bits
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// An overlapped request. The layer keeps the request's state inside the layer, keyed by this
// record's address; Internal/InternalHigh mirror the status and the count for callers that
// look, but only GetOverlappedResult is the supported way to read them.
struct OVERLAPPED {
    ULONG_PTR Internal = 0;
    ULONG_PTR InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = nullptr;
};

// COMMCONFIG provider subtype of a serial port.
constexpr DWORD PST_RS232 = 1;

struct COMMCONFIG {
    DWORD dwSize = 0;
    WORD wVersion = 0;
    WORD wReserved = 0;
    DCB dcb;
    DWORD dwProviderSubType = 0;
    DWORD dwProviderOffset = 0;
    DWORD dwProviderSize = 0;
    char16_t wcProviderData[2] = {0, 0};
};
static_assert(sizeof(COMMCONFIG) == 52);

// Devices. A name "\\.\COMn" is resolved through PortTable::current(); a name beginning with
// "/" is opened as that path, unless an opener installed for such names (named_ports.h, a
// test's in-memory ports) knows it. Access is exclusive.
HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, void* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE h); // devices and events

BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, const DCB* dcb);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* t);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommMask(HANDLE h, DWORD* mask);
// Overlapped only: returns FALSE with ERROR_IO_PENDING when the wait is pending; the event
// word is written when the wait completes (0 when the mask changed meanwhile).
BOOL WaitCommEvent(HANDLE h, DWORD* eventMask, OVERLAPPED* ov);
BOOL ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov);
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait);
BOOL CancelIo(HANDLE h);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat);
BOOL EscapeCommFunction(HANDLE h, DWORD func);
BOOL SetCommBreak(HANDLE h);
BOOL ClearCommBreak(HANDLE h);
BOOL GetCommModemStatus(HANDLE h, DWORD* status);
BOOL TransmitCommChar(HANDLE h, char c);
BOOL FlushFileBuffers(HANDLE h);

// Events
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// Process priority class (idle 0x40, normal 0x20, high 0x80, real-time 0x100), mapped onto
// the process's nice value where allowed. Setting may fail without privileges.
constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
constexpr DWORD REALTIME_PRIORITY_CLASS = 0x100;
DWORD GetPriorityClass();
BOOL SetPriorityClass(DWORD priorityClass);

// Thread-local last error and its text.
DWORD GetLastError();
void SetLastError(DWORD code);
std::string SysErrorMessage(DWORD code);

} // namespace win

namespace platform {

// Ours, without Windows counterparts, beside the calls above.

// The errno behind the calling thread's last error when the system gave one, else 0. It
// tells apart the causes that share one error number, e.g. ERROR_ACCESS_DENIED from
// CreateFileA is EACCES for "no permission" and EBUSY for "in use". win::SysErrorMessage adds
// its text to the message of that same error number; SetLastError clears it.
int lastErrnoDetail();

// The process's exact scheduling state, so that a class set for a while can be undone: the
// classes are coarse steps over the nice values, and going back by class would lose a value
// between them. An ordinary user may lower the priority but not raise it again.
struct PriorityState {
    int nice = 0;
    bool valid = false;
};
PriorityState savePriority();
// Whether restorePriority(saved) will be allowed after SetPriorityClass(priorityClass).
bool canUndoPriorityClass(win::DWORD priorityClass, const PriorityState& saved);
win::BOOL restorePriority(const PriorityState& saved);

// Thread priority on the toolkit's seven steps (0 idle .. 3 normal .. 6 time-critical) for a
// thread given by its native (pthread) handle. Best effort: without privileges a raise above
// normal is refused, which returns FALSE and changes nothing.
win::BOOL setThreadPriority(unsigned long nativeThread, int toolkitPriority);

// The receive tuning's (serial_waiter.h): the calling
// thread sleeps until a WaitCommEvent on `h` would complete at once, the device goes, the
// handle closes or unparkCommThread(h) is called. FALSE when it cannot park there (it then
// returned at once; always so with the tuning off). A thread that hands events over and
// waits for the next one parks after each hand-over instead of being woken when the
// hand-over ends, only to go back to sleep for the next event.
win::BOOL parkForCommEvent(win::HANDLE h);
win::BOOL unparkCommThread(win::HANDLE h);

// Whether the device behind `h` counts line errors (framing, parity, overrun, break), so that
// a ClearCommError that reports none means none happened. FALSE for a pty, which has no
// such counters, and for a handle that is not an open serial device.
win::BOOL lineErrorsCounted(win::HANDLE h);

} // namespace platform
