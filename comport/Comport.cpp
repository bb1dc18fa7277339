#include "comport/Comport.h"

#include "comport/ComThread.h"
#include "comport/synchronize.h"
#include "platform/exception_guard.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <array>
#include <system_error>

using namespace win;

namespace {

constexpr DWORD kFileAttributeNormal = 0x80;
constexpr DWORD kDcbLength = sizeof(DCB);

const char* const kClosedPort = "Can't perform this operation on a closed port";
const char* const kOpenPort = "Can't perform this operation on an open port";
const char* const kNoThread = "Can't create thread";
const char* const kTimeout = "Timeout";

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
constexpr std::array<DWORD, 4> kDtrBits = {0, 0x00, 0x10, 0x20};
constexpr std::array<DWORD, 5> kRtsBits = {0, 0x0000, 0x1000, 0x2000, 0x3000};
constexpr std::array<DWORD, 5> kXOnXOffBits = {0, 0x000, DCB_fInX, DCB_fOutX, DCB_fInX | DCB_fOutX};
constexpr DWORD kXOnXOffMask = DCB_fInX | DCB_fOutX;
constexpr std::array<DWORD, 8> kOptionBits = {
    DCB_fParity,           DCB_fOutxCtsFlow, DCB_fOutxDsrFlow, DCB_fDsrSensitivity,
    DCB_fTXContinueOnXoff, DCB_fErrorChar,   DCB_fNull,        DCB_fAbortOnError};
constexpr std::array<DWORD, 5> kPriorityClasses = {0, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS,
                                                   HIGH_PRIORITY_CLASS, REALTIME_PRIORITY_CLASS};

// Line-error flags by TLineError ordinal.
constexpr std::array<DWORD, 11> kLineErrorFlags = {CE_BREAK,  CE_DNS,      CE_FRAME,   CE_IOE,
                                                   CE_MODE,   CE_OOP,      CE_OVERRUN, CE_PTO,
                                                   CE_RXOVER, CE_RXPARITY, CE_TXFULL};

template <typename E, std::size_t N, typename V>
void lastMatch(E& target, const std::array<V, N>& codes, V value) {
    for (std::size_t i = 0; i < N; ++i)
        if (codes[i] == value)
            target = static_cast<E>(i);
}

// The application's report of an exception that escaped an event handler. Handlers may run
// on the event thread; the report (a modal box) is always shown on the UI thread.
void reportHandlerException(std::exception_ptr error) {
    auto report = [error] {
        try {
            std::rethrow_exception(error);
        } catch (const EAbort&) {
            // the silent abort is not reported
        } catch (...) {
            platform::reportCurrentException();
        }
    };
    if (comport::onUiThread()) {
        report();
    } else {
        comport::postToUiThread(report);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// Sub-objects

void TFlowControl::SetDTRControl(TDTRControl value) {
    if (value != m_dtr) {
        m_dtr = value;
        ComPort->SetComDCB();
    }
}

void TFlowControl::SetRTSControl(TRTSControl value) {
    if (value != m_rts) {
        m_rts = value;
        ComPort->SetComDCB();
    }
}

void TFlowControl::SetXOnXOffControl(TXOnXOffControl value) {
    if (value != m_xOnXOff) {
        m_xOnXOff = value;
        ComPort->SetComDCB();
    }
}

void TFlowControl::SetXOnLimit(std::uint16_t value) {
    if (value != m_xOnLimit) {
        m_xOnLimit = value;
        ComPort->SetComDCB();
    }
}

void TFlowControl::SetXOffLimit(std::uint16_t value) {
    if (value != m_xOffLimit) {
        m_xOffLimit = value;
        ComPort->SetComDCB();
    }
}

#define XRQ_CHAR_SETTER(Name, member)                                                              \
    void TCharacters::Set##Name(char value) {                                                      \
        if (value != member) {                                                                     \
            member = value;                                                                        \
            ComPort->SetComDCB();                                                                  \
        }                                                                                          \
    }
XRQ_CHAR_SETTER(XOn, m_xOn)
XRQ_CHAR_SETTER(XOff, m_xOff)
XRQ_CHAR_SETTER(Error, m_error)
XRQ_CHAR_SETTER(Eof, m_eof)
XRQ_CHAR_SETTER(Event, m_event)
#undef XRQ_CHAR_SETTER

void TBufferSizes::SetInput(std::int32_t value) {
    if (value != m_input) {
        m_input = value;
        ComPort->SetComBufferSizes();
    }
}

void TBufferSizes::SetOutput(std::int32_t value) {
    if (value != m_output) {
        m_output = value;
        ComPort->SetComBufferSizes();
    }
}

#define XRQ_TIMEOUT_SETTER(Name, member)                                                           \
    void TTimeouts::Set##Name(std::int32_t value) {                                                \
        if (value != member) {                                                                     \
            member = value;                                                                        \
            ComPort->SetComTimeouts();                                                             \
        }                                                                                          \
    }
XRQ_TIMEOUT_SETTER(ReadInterval, m_readInterval)
XRQ_TIMEOUT_SETTER(ReadMultiplier, m_readMultiplier)
XRQ_TIMEOUT_SETTER(ReadConstant, m_readConstant)
XRQ_TIMEOUT_SETTER(WriteMultiplier, m_writeMultiplier)
XRQ_TIMEOUT_SETTER(WriteConstant, m_writeConstant)
#undef XRQ_TIMEOUT_SETTER

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
    if (value != m_baudRate) {
        m_baudRate = value;
        SetComDCB();
    }
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
    if (value != m_dataBits) {
        m_dataBits = value;
        SetComDCB();
    }
}

void TCustomComPort::SetParity(TParity value) {
    if (value != m_parity) {
        m_parity = value;
        SetComDCB();
    }
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (value != m_stopBits) {
        m_stopBits = value;
        SetComDCB();
    }
}

void TCustomComPort::SetOptions(TOptions value) {
    if (value != m_options) {
        m_options = value;
        SetComDCB();
    }
}

void TCustomComPort::SetDeviceName(const std::string& value) {
    if (value != m_deviceName) {
        CheckInactive();
        m_deviceName = value;
    }
}

void TCustomComPort::SetSynchronizeEvents(bool value) {
    if (value != m_synchronizeEvents) {
        CheckInactive();
        m_synchronizeEvents = value;
    }
}

void TCustomComPort::SetPriorityClass(TPriorityClass value) {
    if (value != m_priorityClass) {
        CheckInactive();
        m_priorityClass = value;
    }
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
    if (m_onError)
        m_onError(this, error, action);
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
    SetLastError(ERROR_SUCCESS);
    RaiseError(static_cast<std::int32_t>(code), SysErrorMessage(code));
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

// ---------------------------------------------------------------------------------------
// Open and close

bool TCustomComPort::GetActive() const {
    if (m_designing)
        return m_storedActive;
    return m_handle != INVALID_HANDLE_VALUE;
}

void TCustomComPort::SetActive(bool value) {
    if (value != GetActive() && !m_designing && !m_loading) {
        if (value)
            Open();
        else
            Close();
    }
    m_storedActive = value;
}

void TCustomComPort::Open() {
    if (GetActive())
        return;
    if (m_beforeOpen)
        m_beforeOpen(this);
    CreateHandle();
    if (GetActive() && m_afterOpen)
        m_afterOpen(this);
}

void TCustomComPort::Close() {
    if (TComThread* current = TComThread::Current(); current && current->ComPort == this) {
        // The event thread never releases what it is using: the UI thread closes.
        current->Synchronize([this] { Close(); });
        return;
    }
    if (!GetActive())
        return;
    if (m_beforeClose)
        m_beforeClose(this);
    FreeHandle();
    if (!GetActive() && m_afterClose)
        m_afterClose(this);
}

void TCustomComPort::CreateHandle() {
    FreeHandle();
    SetLastError(ERROR_SUCCESS);
    try {
        if (m_priorityClass != pcDefault) {
            m_savedPriorityClass = static_cast<std::int32_t>(GetPriorityClass());
            win::SetPriorityClass(kPriorityClasses[m_priorityClass]);
        }
        m_eventOverlapped = OVERLAPPED{};
        m_eventOverlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        checkCreated(m_eventOverlapped.hEvent != nullptr);
        m_readEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        checkCreated(m_readEvent != nullptr);
        m_writeEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        checkCreated(m_writeEvent != nullptr);
        m_handle = CreateFileA(m_deviceName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, kFileAttributeNormal | FILE_FLAG_OVERLAPPED, nullptr);
        checkCreated(m_handle != INVALID_HANDLE_VALUE);
        PurgeInput();
        PurgeOutput();
        SetComBufferSizes();
        SetComDCB();
        SetComTimeouts();
        SetComEventMask();
    } catch (...) {
        FreeHandle();
        throw;
    }
}

void TCustomComPort::FreeHandle() {
    DestroyThread();
    m_untilCarry.clear();
    if (m_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    if (m_writeEvent != nullptr) {
        CloseHandle(m_writeEvent);
        m_writeEvent = nullptr;
    }
    if (m_readEvent != nullptr) {
        CloseHandle(m_readEvent);
        m_readEvent = nullptr;
    }
    if (m_eventOverlapped.hEvent != nullptr) {
        CloseHandle(m_eventOverlapped.hEvent);
        m_eventOverlapped.hEvent = nullptr;
    }
    if (m_savedPriorityClass != -1) {
        win::SetPriorityClass(static_cast<DWORD>(m_savedPriorityClass));
        m_savedPriorityClass = -1;
    }
}

void TCustomComPort::CreateThread() {
    if (m_thread != nullptr)
        return;
    try {
        m_thread = new TComThread(this);
    } catch (const std::system_error&) {
        RaiseError(0, kNoThread);
    }
}

void TCustomComPort::DestroyThread() {
    if (m_thread == nullptr)
        return;
    TComThread* thread = m_thread;
    m_thread = nullptr;
    thread->Terminate();
    if (m_handle != INVALID_HANDLE_VALUE)
        SetCommMask(m_handle, 0); // completes the pending wait; failure changes nothing here
    // Also wakes a thread that started its wait after the mask was cleared.
    if (m_eventOverlapped.hEvent != nullptr)
        SetEvent(m_eventOverlapped.hEvent);
    TComThread::Release(thread);
}

DWORD TCustomComPort::EventMask() const {
    DWORD mask = 0;
    auto add = [&mask](bool assigned, DWORD bit) {
        if (assigned)
            mask |= bit;
    };
    add(m_onBreak.assigned(), EV_BREAK);
    add(m_onCTSChange.assigned(), EV_CTS);
    add(m_onDSRChange.assigned(), EV_DSR);
    add(m_onLineError.assigned(), EV_ERR);
    add(m_onEvent1.assigned(), EV_EVENT1);
    add(m_onEvent2.assigned(), EV_EVENT2);
    add(m_onPrinterError.assigned(), EV_PERR);
    add(m_onRing.assigned(), EV_RING);
    add(m_onRLSDChange.assigned(), EV_RLSD);
    add(m_onRx80PercFull.assigned(), EV_RX80FULL);
    add(m_onRxChar.assigned(), EV_RXCHAR);
    add(m_onRxFlag.assigned(), EV_RXFLAG);
    add(m_onTxEmpty.assigned(), EV_TXEMPTY);
    return mask;
}

void TCustomComPort::SetComEventMask() {
    if (!GetActive() || m_designing)
        return;
    const DWORD mask = EventMask();
    if (mask == 0)
        DestroyThread();
    Check(SetCommMask(m_handle, mask));
    if (mask != 0)
        CreateThread();
}

template <typename H> void TCustomComPort::setLineHandler(H& slot, const H& handler) {
    if (slot.sameRoutine(handler))
        return;
    slot = handler;
    SetComEventMask();
}

void TCustomComPort::SetOnBreak(const TNotifyEvent& h) {
    setLineHandler(m_onBreak, h);
}
void TCustomComPort::SetOnCTSChange(const TNotifyEvent& h) {
    setLineHandler(m_onCTSChange, h);
}
void TCustomComPort::SetOnDSRChange(const TNotifyEvent& h) {
    setLineHandler(m_onDSRChange, h);
}
void TCustomComPort::SetOnLineError(const TLineErrorEvent& h) {
    setLineHandler(m_onLineError, h);
}
void TCustomComPort::SetOnEvent1(const TNotifyEvent& h) {
    setLineHandler(m_onEvent1, h);
}
void TCustomComPort::SetOnEvent2(const TNotifyEvent& h) {
    setLineHandler(m_onEvent2, h);
}
void TCustomComPort::SetOnPrinterError(const TNotifyEvent& h) {
    setLineHandler(m_onPrinterError, h);
}
void TCustomComPort::SetOnRing(const TNotifyEvent& h) {
    setLineHandler(m_onRing, h);
}
void TCustomComPort::SetOnRLSDChange(const TNotifyEvent& h) {
    setLineHandler(m_onRLSDChange, h);
}
void TCustomComPort::SetOnRx80PercFull(const TNotifyEvent& h) {
    setLineHandler(m_onRx80PercFull, h);
}
void TCustomComPort::SetOnRxChar(const TNotifyEvent& h) {
    setLineHandler(m_onRxChar, h);
}
void TCustomComPort::SetOnRxFlag(const TNotifyEvent& h) {
    setLineHandler(m_onRxFlag, h);
}
void TCustomComPort::SetOnTxEmpty(const TNotifyEvent& h) {
    setLineHandler(m_onTxEmpty, h);
}

// ---------------------------------------------------------------------------------------
// Event thread

// Event thread. The port's handle, records and events stay valid while the stop flag is
// clear: the port sets the flag before it releases anything, and waits for this thread's
// end unless the thread is parked in a hand-over to the UI thread.
void TCustomComPort::ThreadProc(TComThread* thread) {
    m_events = 0; // a wait that ends without completing must not replay old events
    if (WaitCommEvent(m_handle, &m_events, &m_eventOverlapped)) {
        if (!thread->Terminated())
            dispatch(thread);
        return;
    }
    if (thread->Terminated())
        return;
    m_threadError = GetLastError();
    if (m_threadError == ERROR_IO_PENDING) {
        if (WaitForSingleObject(m_eventOverlapped.hEvent, INFINITE) == WAIT_OBJECT_0 &&
            !thread->Terminated())
            dispatch(thread);
        return;
    }
    const DWORD code = m_threadError;
    SetLastError(ERROR_SUCCESS);
    std::exception_ptr raised;
    try {
        if (!thread->Synchronize([this] { RaiseThreadError(); }))
            return; // stopped meanwhile
    } catch (...) {
        raised = std::current_exception();
    }
    // OnError may have closed the port or more: look at the flag before anything else.
    if (!thread->Terminated() && code == ERROR_ACCESS_DENIED)
        Close();
    if (raised)
        std::rethrow_exception(raised);
    thread->Terminate(); // the wait failed: this thread is done either way
}

void TCustomComPort::dispatch(TComThread* thread) {
    if (m_events == 0)
        return; // the mask changed: nothing happened on the line
    if (m_synchronizeEvents)
        thread->Synchronize([this] { ThreadDoEvent(); });
    else
        ThreadDoEvent();
}

void TCustomComPort::RaiseThreadError() {
    RaiseError(static_cast<std::int32_t>(m_threadError), SysErrorMessage(m_threadError));
}

void TCustomComPort::ThreadDoEvent() {
    // A handler may close the port, or even delete it: the pass stops there.
    QPointer<TCustomComPort> self(this);
    const DWORD events = m_events;
    auto stillOpen = [&] { return !self.isNull() && GetActive(); };
    auto fire = [&](DWORD bit, const TNotifyEvent& handler) {
        if (stillOpen() && (events & bit) && handler) {
            TNotifyEvent copy = handler; // the handler may replace itself
            copy(this);
        }
    };
    try {
        fire(EV_BREAK, m_onBreak);
        fire(EV_CTS, m_onCTSChange);
        fire(EV_DSR, m_onDSRChange);
        if (stillOpen() && (events & EV_ERR) && m_onLineError)
            CheckLineErrors();
        fire(EV_EVENT1, m_onEvent1);
        fire(EV_EVENT2, m_onEvent2);
        fire(EV_PERR, m_onPrinterError);
        fire(EV_RING, m_onRing);
        fire(EV_RLSD, m_onRLSDChange);
        fire(EV_RX80FULL, m_onRx80PercFull);
        fire(EV_RXCHAR, m_onRxChar);
        fire(EV_RXFLAG, m_onRxFlag);
        fire(EV_TXEMPTY, m_onTxEmpty);
    } catch (...) {
        reportHandlerException(std::current_exception());
    }
}

// ---------------------------------------------------------------------------------------
// Data transfer

void TCustomComPort::checkTransferCount(std::int32_t count, const void* buffer) {
    if (count < 0 || (count > 0 && buffer == nullptr))
        RaiseError(static_cast<std::int32_t>(ERROR_INVALID_PARAMETER),
                   SysErrorMessage(ERROR_INVALID_PARAMETER));
}

void TCustomComPort::Read(void* buffer, std::int32_t count, bool waitOnCompletion) {
    CheckActive();
    checkTransferCount(count, buffer);
    if (m_beforeRead)
        m_beforeRead(this, buffer, count, waitOnCompletion);
    WaitForReadCompletion();
    m_readRequested = static_cast<DWORD>(count);
    if (count != 0) {
        m_readOverlapped = OVERLAPPED{};
        m_readOverlapped.hEvent = m_readEvent;
        Check(ResetEvent(m_readEvent));
        DWORD done = 0;
        const BOOL completed =
            ReadFile(m_handle, buffer, static_cast<DWORD>(count), &done, &m_readOverlapped);
        if (completed) {
            SetEvent(m_readEvent);
        } else if (GetLastError() != ERROR_IO_PENDING) {
            // Nothing was started: no read may count as in progress afterwards.
            const DWORD code = GetLastError();
            SetEvent(m_readEvent);
            SetLastError(code);
        }
        Check(completed);
        if (waitOnCompletion) {
            WaitForReadCompletion();
            // A read that ended at once with fewer bytes (time-outs that return at once)
            // must not pass for a full one either.
            if (completed && done != m_readRequested)
                RaiseError(0, kTimeout);
        }
    }
    if (m_afterRead)
        m_afterRead(this, buffer, count, waitOnCompletion);
}

void TCustomComPort::Write(const void* buffer, std::int32_t count, bool waitOnCompletion) {
    CheckActive();
    checkTransferCount(count, buffer);
    if (m_beforeWrite)
        m_beforeWrite(this, buffer, count, waitOnCompletion);
    WaitForWriteCompletion();
    m_writeRequested = static_cast<DWORD>(count);
    if (count != 0) {
        // The previous write has completed, so its bytes may go.
        const char* bytes = static_cast<const char*>(buffer);
        m_writeBuffer.assign(bytes, bytes + count);
        m_writeOverlapped = OVERLAPPED{};
        m_writeOverlapped.hEvent = m_writeEvent;
        Check(ResetEvent(m_writeEvent));
        DWORD done = 0;
        const BOOL completed = WriteFile(m_handle, m_writeBuffer.data(), static_cast<DWORD>(count),
                                         &done, &m_writeOverlapped);
        if (completed) {
            SetEvent(m_writeEvent);
        } else if (GetLastError() != ERROR_IO_PENDING) {
            const DWORD code = GetLastError();
            SetEvent(m_writeEvent);
            SetLastError(code);
        }
        Check(completed);
        if (waitOnCompletion) {
            WaitForWriteCompletion();
            if (completed && done != m_writeRequested)
                RaiseError(0, kTimeout);
        }
    }
    if (m_afterWrite)
        m_afterWrite(this, buffer, count, waitOnCompletion);
}

void TCustomComPort::WaitForReadCompletion() {
    if (ReadPending()) {
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(m_handle, &m_readOverlapped, &transferred, TRUE);
        if (!ok) {
            // A failed read is over: it must not be waited for again.
            const DWORD code = GetLastError();
            SetEvent(m_readEvent);
            SetLastError(code);
        }
        Check(ok);
        if (transferred != m_readRequested)
            RaiseError(0, kTimeout);
    }
    CheckLineErrors();
}

void TCustomComPort::WaitForWriteCompletion() {
    if (WritePending()) {
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(m_handle, &m_writeOverlapped, &transferred, TRUE);
        if (!ok) {
            const DWORD code = GetLastError();
            SetEvent(m_writeEvent);
            SetLastError(code);
        }
        Check(ok);
        if (transferred != m_writeRequested)
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
    if (errors != 0 && m_onLineError)
        m_onLineError(this, GetLineErrors(errors));
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
    if (errors != 0 && m_onLineError)
        m_onLineError(this, GetLineErrors(errors));
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

std::string TCustomComPort::ReadUntil(char terminator) {
    // Bytes gathered by a call that timed out are not dropped: the next call goes on with
    // them, so a line that arrives slowly still comes out whole.
    std::string result = std::move(m_untilCarry);
    m_untilCarry.clear();
    try {
        while (result.empty() || result.back() != terminator)
            result += ReadChar();
    } catch (...) {
        m_untilCarry = std::move(result);
        throw;
    }
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
    m_untilCarry.clear();
    purge(PURGE_RXABORT | PURGE_RXCLEAR);
}
void TCustomComPort::PurgeOutput() {
    purge(PURGE_TXABORT | PURGE_TXCLEAR);
}
void TCustomComPort::ClearInput() {
    m_untilCarry.clear();
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
