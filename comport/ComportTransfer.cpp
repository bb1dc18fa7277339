// SPDX-License-Identifier: GPL-3.0-or-later
// The serial port component, part three: overlapped reads and writes with their completion
// waits, the conveniences built on them, queue counts, purging, line errors, line control
// and the modem status.
#include "comport/Comport.h"

#include <array>

using namespace win;

namespace {

const char* const kTimeout = "Timeout";

// Line-error flags by TLineError ordinal.
constexpr std::array<DWORD, 11> kLineErrorFlags = {CE_BREAK,  CE_DNS,      CE_FRAME,   CE_IOE,
                                                   CE_MODE,   CE_OOP,      CE_OVERRUN, CE_PTO,
                                                   CE_RXOVER, CE_RXPARITY, CE_TXFULL};

} // namespace

// ---------------------------------------------------------------------------------------
// Data transfer

void TCustomComPort::checkTransferCount(std::int32_t count, const void* buffer) {
    if (count < 0 || (count > 0 && buffer == nullptr))
        RaiseError(static_cast<std::int32_t>(ERROR_INVALID_PARAMETER),
                   SysErrorMessage(ERROR_INVALID_PARAMETER));
}

void TCustomComPort::Read(void* buffer, std::int32_t count, bool waitOnCompletion) {
    transfer(true, buffer, count, waitOnCompletion);
}

void TCustomComPort::Write(const void* buffer, std::int32_t count, bool waitOnCompletion) {
    transfer(false, buffer, count, waitOnCompletion);
}

// The one body of Read (reading true) and Write: the Before event, the end of the transfer
// still in progress on that side, the start of this one, the wait when asked for, the After
// event.
void TCustomComPort::transfer(bool reading, const void* buffer, std::int32_t count,
                              bool waitOnCompletion) {
    CheckActive();
    checkTransferCount(count, buffer);
    callHandler(reading ? m_beforeRead : m_beforeWrite, this, buffer, count, waitOnCompletion);
    waitForCompletion(reading);
    (reading ? m_readRequested : m_writeRequested) = static_cast<DWORD>(count);
    if (count != 0) {
        HANDLE event = reading ? m_readEvent : m_writeEvent;
        OVERLAPPED& overlapped = reading ? m_readOverlapped : m_writeOverlapped;
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        Check(ResetEvent(event));
        DWORD done = 0;
        BOOL started;
        if (reading) {
            started = ReadFile(m_handle, const_cast<void*>(buffer), static_cast<DWORD>(count),
                               &done, &overlapped);
        } else {
            // The bytes are taken over, so the caller may reuse its buffer at once; the
            // previous write has completed, so its bytes may go.
            const char* bytes = static_cast<const char*>(buffer);
            m_writeBuffer.assign(bytes, bytes + count);
            started = WriteFile(m_handle, m_writeBuffer.data(), static_cast<DWORD>(count), &done,
                                &overlapped);
        }
        // Ended at once, or not started at all: nothing may count as in progress afterwards.
        // (Setting an event leaves the last error as it is.)
        if (started || GetLastError() != ERROR_IO_PENDING)
            SetEvent(event);
        Check(started);
        // A transfer that ended at once counts as ended, whatever it moved (time-outs that
        // return at once): only one still in progress can time out.
        if (waitOnCompletion)
            waitForCompletion(reading);
    }
    callHandler(reading ? m_afterRead : m_afterWrite, this, buffer, count, waitOnCompletion);
}

void TCustomComPort::WaitForReadCompletion() {
    waitForCompletion(true);
}

void TCustomComPort::WaitForWriteCompletion() {
    waitForCompletion(false);
}

void TCustomComPort::waitForCompletion(bool reading) {
    if (reading ? ReadPending() : WritePending()) {
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(
            m_handle, reading ? &m_readOverlapped : &m_writeOverlapped, &transferred, TRUE);
        if (!ok) // a failed transfer is over: it must not be waited for again
            SetEvent(reading ? m_readEvent : m_writeEvent);
        Check(ok);
        if (transferred != (reading ? m_readRequested : m_writeRequested))
            RaiseError(0, kTimeout);
    }
    CheckLineErrors();
}

bool TCustomComPort::ReadPending() const {
    return m_readEvent != nullptr && WaitForSingleObject(m_readEvent, 0) != WAIT_OBJECT_0;
}

bool TCustomComPort::WritePending() const {
    return m_writeEvent != nullptr && WaitForSingleObject(m_writeEvent, 0) != WAIT_OBJECT_0;
}

COMSTAT TCustomComPort::queueStatus() {
    DWORD errors = 0;
    COMSTAT stat;
    if (m_handle == INVALID_HANDLE_VALUE) {
        // What the platform answers for a closed device, without handing it a dead handle.
        SetLastError(ERROR_INVALID_HANDLE);
        Check(false);
    }
    Check(ClearCommError(m_handle, &errors, &stat));
    if (errors != 0)
        callHandler(m_onLineError, this, GetLineErrors(errors));
    return stat;
}

std::int32_t TCustomComPort::InputCount() {
    return static_cast<std::int32_t>(queueStatus().cbInQue);
}

std::int32_t TCustomComPort::OutputCount() {
    return static_cast<std::int32_t>(queueStatus().cbOutQue);
}

TLineErrors TCustomComPort::GetLineErrors(DWORD errorWord) {
    TLineErrors result;
    for (std::size_t i = 0; i < kLineErrorFlags.size(); ++i)
        if (errorWord & kLineErrorFlags[i])
            result.include(static_cast<TLineError>(i));
    return result;
}

void TCustomComPort::CheckLineErrors() {
    CheckActive();
    DWORD errors = 0;
    Check(ClearCommError(m_handle, &errors, nullptr));
    if (errors != 0)
        callHandler(m_onLineError, this, GetLineErrors(errors));
}

void TCustomComPort::ClearLineErrors() {
    CheckActive();
    DWORD errors = 0;
    Check(ClearCommError(m_handle, &errors, nullptr));
}

// A short read ending at once leaves the unfilled bytes at zero.
char TCustomComPort::ReadChar() {
    char c = 0;
    Read(&c, 1, true);
    return c;
}

std::uint8_t TCustomComPort::ReadByte() {
    std::uint8_t b = 0;
    Read(&b, 1, true);
    return b;
}

std::uint16_t TCustomComPort::ReadWord() {
    std::array<std::uint8_t, 2> b{};
    Read(b.data(), 2, true);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t TCustomComPort::ReadDWord() {
    std::array<std::uint8_t, 4> b{};
    Read(b.data(), 4, true);
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
}

void TCustomComPort::WriteChar(char value) {
    Write(&value, 1, false);
}

void TCustomComPort::WriteByte(std::uint8_t value) {
    Write(&value, 1, false);
}

void TCustomComPort::WriteWord(std::uint16_t value) {
    const std::array<std::uint8_t, 2> b = {static_cast<std::uint8_t>(value),
                                           static_cast<std::uint8_t>(value >> 8)};
    Write(b.data(), 2, false);
}

void TCustomComPort::WriteDWord(std::uint32_t value) {
    const std::array<std::uint8_t, 4> b = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    Write(b.data(), 4, false);
}

std::string TCustomComPort::ReadString() {
    WaitForReadCompletion();
    const std::int32_t n = InputCount();
    std::string result(static_cast<std::size_t>(n), '\0');
    Read(result.data(), n, true);
    return result;
}

void TCustomComPort::WriteString(const std::string& value) {
    Write(value.data(), static_cast<std::int32_t>(value.size()), false);
}

// A "Timeout" ends the call and the bytes gathered so far are lost: joined to a later call
// they would make a line that never came over the wire.
std::string TCustomComPort::ReadUntil(char terminator) {
    std::string result;
    while (result.empty() || result.back() != terminator)
        result += ReadChar();
    return result;
}

std::string TCustomComPort::ReadLine() {
    return ReadUntil('\r');
}

void TCustomComPort::purge(DWORD flags) {
    if (!GetActive())
        return;
    Check(PurgeComm(m_handle, flags));
}

void TCustomComPort::PurgeInput() {
    purge(PURGE_RXABORT | PURGE_RXCLEAR);
}
void TCustomComPort::PurgeOutput() {
    purge(PURGE_TXABORT | PURGE_TXCLEAR);
}
void TCustomComPort::ClearInput() {
    purge(PURGE_RXCLEAR);
}
void TCustomComPort::ClearOutput() {
    purge(PURGE_TXCLEAR);
}
void TCustomComPort::AbortInput() {
    purge(PURGE_RXABORT);
}
void TCustomComPort::AbortOutput() {
    purge(PURGE_TXABORT);
}

void TCustomComPort::Flush() {
    if (!GetActive())
        return;
    Check(FlushFileBuffers(m_handle));
}

// ---------------------------------------------------------------------------------------
// Line control

void TCustomComPort::escape(DWORD function) {
    CheckActive();
    Check(EscapeCommFunction(m_handle, function));
}

void TCustomComPort::TransmitChar(char c) {
    CheckActive();
    Check(TransmitCommChar(m_handle, c));
}

void TCustomComPort::SetBreak() {
    CheckActive();
    Check(SetCommBreak(m_handle));
}

void TCustomComPort::ClearBreak() {
    CheckActive();
    Check(ClearCommBreak(m_handle));
}

void TCustomComPort::SetDTR() {
    escape(win::SETDTR);
}
void TCustomComPort::ClearDTR() {
    escape(CLRDTR);
}
void TCustomComPort::SetRTS() {
    escape(win::SETRTS);
}
void TCustomComPort::ClearRTS() {
    escape(CLRRTS);
}
void TCustomComPort::SetXOn() {
    escape(win::SETXON);
}
void TCustomComPort::SetXOff() {
    escape(win::SETXOFF);
}
void TCustomComPort::ResetDevice() {
    escape(RESETDEV);
}

TModemStatus TCustomComPort::GetModemStatus() {
    if (m_designing)
        return {};
    CheckActive();
    DWORD status = 0;
    Check(GetCommModemStatus(m_handle, &status));
    TModemStatus result;
    if (status & MS_CTS_ON)
        result.include(msCTS);
    if (status & MS_DSR_ON)
        result.include(msDSR);
    if (status & MS_RING_ON)
        result.include(msRing);
    if (status & MS_RLSD_ON)
        result.include(msRLSD);
    return result;
}
