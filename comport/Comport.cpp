// SPDX-License-Identifier: GPL-3.0-or-later
// The serial port component, part one: the sub-objects, construction, the configuration and
// its translation to and from the device control block, and the error conventions. Opening,
// closing and the event thread are in ComportOpen.cpp; transfers and line control in
// ComportTransfer.cpp; listings and dialogs in ComportEnum.cpp.
#include "comport/Comport.h"

#include "comport/ComThread.h"

#include <array>

using namespace win;

namespace {

constexpr DWORD kDcbLength = sizeof(DCB);

const char* const kClosedPort = "Can't perform this operation on a closed port";
const char* const kOpenPort = "Can't perform this operation on an open port";

constexpr std::array<std::int32_t, brCustom> kBaudRates = {
    0,    50,   75,    110,   150,   300,   600,   1200,  1800,  2000,  2400,   3600,   4800,
    7200, 9600, 10400, 14400, 15625, 19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};

// Block codes per enumeration value, the Default value first. Reading a block tries them in
// order and keeps the last match, so a code shared by Default and a named value gives the
// named one.
constexpr std::array<BYTE, 6> kByteSizes = {0, 4, 5, 6, 7, 8};
constexpr std::array<BYTE, 6> kParities = {0,          NOPARITY,   ODDPARITY,
                                           EVENPARITY, MARKPARITY, SPACEPARITY};
constexpr std::array<BYTE, 4> kStopBits = {0, ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
constexpr std::array<DWORD, 4> kDtrBits = {0, DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE,
                                           DTR_CONTROL_HANDSHAKE};
constexpr std::array<DWORD, 5> kRtsBits = {0, RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE,
                                           RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE};
constexpr std::array<DWORD, 5> kXOnXOffBits = {0, 0x000, DCB_fInX, DCB_fOutX, DCB_fInX | DCB_fOutX};
constexpr DWORD kXOnXOffMask = DCB_fInX | DCB_fOutX;
constexpr std::array<DWORD, 8> kOptionBits = {
    DCB_fParity,           DCB_fOutxCtsFlow, DCB_fOutxDsrFlow, DCB_fDsrSensitivity,
    DCB_fTXContinueOnXoff, DCB_fErrorChar,   DCB_fNull,        DCB_fAbortOnError};
template <typename E, std::size_t N, typename V>
void lastMatch(E& target, const std::array<V, N>& codes, V value) {
    for (std::size_t i = 0; i < N; ++i)
        if (codes[i] == value)
            target = static_cast<E>(i);
}

// Stores `value` when it differs from `member`; whether it did. Every setter that re-applies
// something goes through here.
template <typename T> bool changed(T& member, const T& value) {
    if (member == value)
        return false;
    member = value;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------
// Sub-objects

void TFlowControl::SetDTRControl(TDTRControl value) {
    if (changed(m_dtr, value))
        ComPort->SetComDCB();
}

void TFlowControl::SetRTSControl(TRTSControl value) {
    if (changed(m_rts, value))
        ComPort->SetComDCB();
}

void TFlowControl::SetXOnXOffControl(TXOnXOffControl value) {
    if (changed(m_xOnXOff, value))
        ComPort->SetComDCB();
}

void TFlowControl::SetXOnLimit(std::uint16_t value) {
    if (changed(m_xOnLimit, value))
        ComPort->SetComDCB();
}

void TFlowControl::SetXOffLimit(std::uint16_t value) {
    if (changed(m_xOffLimit, value))
        ComPort->SetComDCB();
}

void TCharacters::SetXOn(char value) {
    if (changed(m_xOn, value))
        ComPort->SetComDCB();
}
void TCharacters::SetXOff(char value) {
    if (changed(m_xOff, value))
        ComPort->SetComDCB();
}
void TCharacters::SetError(char value) {
    if (changed(m_error, value))
        ComPort->SetComDCB();
}
void TCharacters::SetEof(char value) {
    if (changed(m_eof, value))
        ComPort->SetComDCB();
}
void TCharacters::SetEvent(char value) {
    if (changed(m_event, value))
        ComPort->SetComDCB();
}

void TBufferSizes::SetInput(std::int32_t value) {
    if (changed(m_input, value))
        ComPort->SetComBufferSizes();
}

void TBufferSizes::SetOutput(std::int32_t value) {
    if (changed(m_output, value))
        ComPort->SetComBufferSizes();
}

void TTimeouts::SetReadInterval(std::int32_t value) {
    if (changed(m_readInterval, value))
        ComPort->SetComTimeouts();
}
void TTimeouts::SetReadMultiplier(std::int32_t value) {
    if (changed(m_readMultiplier, value))
        ComPort->SetComTimeouts();
}
void TTimeouts::SetReadConstant(std::int32_t value) {
    if (changed(m_readConstant, value))
        ComPort->SetComTimeouts();
}
void TTimeouts::SetWriteMultiplier(std::int32_t value) {
    if (changed(m_writeMultiplier, value))
        ComPort->SetComTimeouts();
}
void TTimeouts::SetWriteConstant(std::int32_t value) {
    if (changed(m_writeConstant, value))
        ComPort->SetComTimeouts();
}

// ---------------------------------------------------------------------------------------
// Construction

TCustomComPort::TCustomComPort(QObject* AOwner) : QObject(AOwner) {
    m_flowControl = new TFlowControl(this);
    m_characters = new TCharacters(this);
    m_bufferSizes = new TBufferSizes(this);
    m_timeouts = new TTimeouts(this);
}

TCustomComPort::~TCustomComPort() {
    // A destructor cannot pass on what BeforeClose or AfterClose raise; the device and the
    // event thread are released all the same.
    try {
        Close();
    } catch (...) {
    }
    FreeHandle();
    delete m_timeouts;
    delete m_bufferSizes;
    delete m_characters;
    delete m_flowControl;
}

void TCustomComPort::Loaded() {
    m_loading = false;
    SetActive(m_storedActive);
}

std::string TCustomComPort::GetAbout() const {
    return "XRQ serial port component 1.0";
}

// ---------------------------------------------------------------------------------------
// Configuration

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (changed(m_baudRate, value))
        SetComDCB();
}

std::int32_t TCustomComPort::GetCustomBaudRate() const {
    if (m_baudRate == brCustom)
        return m_customBaudRate;
    return kBaudRates[m_baudRate];
}

void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
    // Compared with the rate in effect, not only with the stored custom rate: asking for
    // 19200 while a named rate of 9600 is in force must give 19200.
    if (value == GetCustomBaudRate())
        return;
    m_customBaudRate = value;
    m_baudRate = brCustom;
    SetComDCB();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (changed(m_dataBits, value))
        SetComDCB();
}

void TCustomComPort::SetParity(TParity value) {
    if (changed(m_parity, value))
        SetComDCB();
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (changed(m_stopBits, value))
        SetComDCB();
}

void TCustomComPort::SetOptions(TOptions value) {
    if (changed(m_options, value))
        SetComDCB();
}

void TCustomComPort::SetDeviceName(const std::string& value) {
    storeWhenClosed(m_deviceName, value);
}

void TCustomComPort::SetSynchronizeEvents(bool value) {
    storeWhenClosed(m_synchronizeEvents, value);
}

void TCustomComPort::SetPriorityClass(TPriorityClass value) {
    storeWhenClosed(m_priorityClass, value);
}

void TCustomComPort::SetThreadPriority(TThreadPriority value) {
    m_threadPriority = value;
    if (m_thread != nullptr)
        m_thread->SetPriority(value);
}

void TCustomComPort::CopyDCB(DCB& dcb, bool toBlock) {
    if (toBlock) {
        if (m_baudRate != brDefault)
            dcb.BaudRate = static_cast<DWORD>(GetCustomBaudRate());
        if (m_dataBits != dbDefault)
            dcb.ByteSize = kByteSizes[m_dataBits];
        if (m_parity != paDefault)
            dcb.Parity = kParities[m_parity];
        if (m_stopBits != sbDefault)
            dcb.StopBits = kStopBits[m_stopBits];
        dcb.XonChar = m_characters->XOn();
        dcb.XoffChar = m_characters->XOff();
        dcb.ErrorChar = m_characters->Error();
        dcb.EofChar = m_characters->Eof();
        dcb.EvtChar = m_characters->Event();
        if (m_flowControl->DTR() != dcDefault)
            dcb.Flags = (dcb.Flags & ~DCB_fDtrControlMask) | kDtrBits[m_flowControl->DTR()];
        if (m_flowControl->RTS() != rcDefault)
            dcb.Flags = (dcb.Flags & ~DCB_fRtsControlMask) | kRtsBits[m_flowControl->RTS()];
        if (m_flowControl->XOnXOff() != xcDefault)
            dcb.Flags = (dcb.Flags & ~kXOnXOffMask) | kXOnXOffBits[m_flowControl->XOnXOff()];
        dcb.XonLim = m_flowControl->XOnLimit();
        dcb.XoffLim = m_flowControl->XOffLimit();
        for (std::size_t i = 0; i < kOptionBits.size(); ++i) {
            if (m_options.contains(static_cast<TOption>(i)))
                dcb.Flags |= kOptionBits[i];
            else
                dcb.Flags &= ~kOptionBits[i];
        }
        return;
    }

    SetCustomBaudRate(static_cast<std::int32_t>(dcb.BaudRate));
    lastMatch(m_dataBits, kByteSizes, dcb.ByteSize);
    lastMatch(m_parity, kParities, dcb.Parity);
    lastMatch(m_stopBits, kStopBits, dcb.StopBits);
    m_characters->SetXOn(dcb.XonChar);
    m_characters->SetXOff(dcb.XoffChar);
    m_characters->SetError(dcb.ErrorChar);
    m_characters->SetEof(dcb.EofChar);
    m_characters->SetEvent(dcb.EvtChar);
    lastMatch(m_flowControl->m_dtr, kDtrBits, DWORD{dcb.Flags & DCB_fDtrControlMask});
    lastMatch(m_flowControl->m_rts, kRtsBits, DWORD{dcb.Flags & DCB_fRtsControlMask});
    lastMatch(m_flowControl->m_xOnXOff, kXOnXOffBits, DWORD{dcb.Flags & kXOnXOffMask});
    m_flowControl->SetXOnLimit(dcb.XonLim);
    m_flowControl->SetXOffLimit(dcb.XoffLim);
    TOptions options;
    for (std::size_t i = 0; i < kOptionBits.size(); ++i)
        if (dcb.Flags & kOptionBits[i])
            options.include(static_cast<TOption>(i));
    m_options = options;
}

void TCustomComPort::SetComDCB() {
    if (!GetActive() || m_designing)
        return;
    DCB dcb;
    dcb.DCBlength = kDcbLength;
    Check(GetCommState(m_handle, &dcb));
    CopyDCB(dcb, true);
    Check(SetCommState(m_handle, &dcb));
}

void TCustomComPort::SetComBufferSizes() {
    if (!GetActive() || m_designing)
        return;
    // A negative size would reach the driver as a queue of some 4 GB.
    if (m_bufferSizes->Input() < 0 || m_bufferSizes->Output() < 0)
        RaiseError(static_cast<std::int32_t>(ERROR_INVALID_PARAMETER),
                   SysErrorMessage(ERROR_INVALID_PARAMETER));
    Check(SetupComm(m_handle, static_cast<DWORD>(m_bufferSizes->Input()),
                    static_cast<DWORD>(m_bufferSizes->Output())));
}

void TCustomComPort::SetComTimeouts() {
    if (!GetActive() || m_designing)
        return;
    COMMTIMEOUTS t;
    Check(GetCommTimeouts(m_handle, &t));
    t.ReadIntervalTimeout = static_cast<DWORD>(m_timeouts->ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(m_timeouts->ReadMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(m_timeouts->ReadConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(m_timeouts->WriteMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(m_timeouts->WriteConstant());
    Check(SetCommTimeouts(m_handle, &t));
}

// ---------------------------------------------------------------------------------------
// Errors

void TCustomComPort::CheckActive() {
    if (!GetActive())
        RaiseError(0, kClosedPort);
}

void TCustomComPort::CheckInactive() {
    if (!m_designing && GetActive())
        RaiseError(0, kOpenPort);
}

void TCustomComPort::RaiseError(std::int32_t code, const std::string& message) {
    EComError error(code, message);
    TComAction action = caFail;
    callHandler(m_onError, this, error, action);
    if (action == caAbort)
        throw EAbort();
    throw error;
}

void TCustomComPort::Check(bool success) {
    if (success)
        return;
    const DWORD code = GetLastError();
    if (code == ERROR_SUCCESS || code == ERROR_IO_PENDING)
        return;
    // The text first: it takes the system's reason from the last error being reset here.
    const std::string message = SysErrorMessage(code);
    SetLastError(ERROR_SUCCESS);
    RaiseError(static_cast<std::int32_t>(code), message);
}

// An object that must exist after its creating call: a failure that left no error code (or
// only "pending") still fails, so that an open never reports success without a device.
void TCustomComPort::checkCreated(bool created) {
    if (created)
        return;
    const DWORD code = GetLastError();
    if (code == ERROR_SUCCESS || code == ERROR_IO_PENDING)
        SetLastError(ERROR_GEN_FAILURE);
    Check(false);
}
