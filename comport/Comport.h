// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serial port component: one serial device with its configuration, its event thread and
// its transfer and line-control operations. It talks to the system only through
// platform/win_comm.h.
//
// Threads while a port is open, and what each may touch:
// - The owning thread (the UI thread in the program) calls every operation, owns every field
//   and is the only one to assign handler slots. Transfers, purges and line control run here
//   and block only when asked to wait.
// - The event thread (TComThread, one per open port with a line-event handler) waits for line
//   events on the device and hands each batch over (synchronize.h): with SynchronizeEvents
//   the handlers run on the UI thread while the event thread is parked on the device (it goes
//   on when they have run and the device has its next event, so it wakes once per batch);
//   without, they run on the event thread, which then reads the handler slots. While it waits
//   it reads the device itself, inside the driver. It writes only Events (through the
//   device) and ThreadError, and after every wait looks at its stop flag before it touches the
//   port. The port stops it before releasing anything, and waits for its end unless the
//   caller runs inside one of its hand-overs.
// - The driver's I/O thread (platform/serial_driver) moves bytes between the device and the
//   driver's queues (input only while no thread waits inside the driver) and completes
//   requests; the modem watcher (platform/fd_transport, real
//   ports only) sleeps until a modem line changes and wakes the I/O thread. Neither ever
//   sees this component.
// Locks: m_handlerLock guards the handler slots (written by the owner, read by whichever
// thread calls a handler); the driver's own lock guards its queues, requests and the event
// word it writes into Events; the hand-over's channel lock guards a request and its result.
// Nothing of Qt is called from a thread other than the UI thread.

#include "comport/comport_types.h"
#include "comport/handler_slot.h"
#include "platform/exception_guard.h"
#include "platform/win_comm.h"

#include <QObject>
#include <QStringList>

#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class TCustomComPort;
class TComThread;

// The component's exception: a message and the platform's error code, or 0 for the
// component's own errors ("Timeout", "Can't perform this operation on a closed port", ...).
class EComError : public std::runtime_error {
public:
    EComError(std::int32_t code, const std::string& message)
        : std::runtime_error(message), ErrorCode(code) {}

    std::int32_t ErrorCode;
};

// The silent abort: raised instead of an EComError when an OnError handler chose caAbort.
// Handler guards drop it without showing anything.
class EAbort : public std::exception, public platform::SilentException {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

using TNotifyEvent = THandler<QObject*>;
using TLineErrorEvent = THandler<QObject*, TLineErrors>;
using TOpenCloseEvent = THandler<TCustomComPort*>;
using TReadWriteEvent = THandler<QObject*, const void*, std::int32_t, bool>;
using TComErrorEvent = THandler<TCustomComPort*, EComError&, TComAction&>;

// Flow control settings; each change re-applies the device control block of an open port.
class TFlowControl {
public:
    explicit TFlowControl(TCustomComPort* port) : ComPort(port) {}

    TDTRControl DTR() const { return m_dtr; }
    TRTSControl RTS() const { return m_rts; }
    TXOnXOffControl XOnXOff() const { return m_xOnXOff; }
    std::uint16_t XOnLimit() const { return m_xOnLimit; }
    std::uint16_t XOffLimit() const { return m_xOffLimit; }

    void SetDTRControl(TDTRControl value);
    void SetRTSControl(TRTSControl value);
    void SetXOnXOffControl(TXOnXOffControl value);
    void SetXOnLimit(std::uint16_t value);
    void SetXOffLimit(std::uint16_t value);

    TCustomComPort* const ComPort;

private:
    friend class TCustomComPort; // reading a control block stores the controls directly
    TDTRControl m_dtr = dcDefault;
    TRTSControl m_rts = rcDefault;
    TXOnXOffControl m_xOnXOff = xcDefault;
    std::uint16_t m_xOnLimit = 0;
    std::uint16_t m_xOffLimit = 0;
};

// Special characters; each change re-applies the device control block of an open port.
class TCharacters {
public:
    explicit TCharacters(TCustomComPort* port) : ComPort(port) {}

    char XOn() const { return m_xOn; }
    char XOff() const { return m_xOff; }
    char Error() const { return m_error; }
    char Eof() const { return m_eof; }
    char Event() const { return m_event; }

    void SetXOn(char value);
    void SetXOff(char value);
    void SetError(char value);
    void SetEof(char value);
    void SetEvent(char value);

    TCustomComPort* const ComPort;

private:
    char m_xOn = 17;
    char m_xOff = 19;
    char m_error = 0;
    char m_eof = 0;
    char m_event = 0;
};

// Driver queue sizes in bytes; each change re-applies them to an open port.
class TBufferSizes {
public:
    explicit TBufferSizes(TCustomComPort* port) : ComPort(port) {}

    std::int32_t Input() const { return m_input; }
    std::int32_t Output() const { return m_output; }
    void SetInput(std::int32_t value);
    void SetOutput(std::int32_t value);

    TCustomComPort* const ComPort;

private:
    std::int32_t m_input = 4096;
    std::int32_t m_output = 2048;
};

// Read and write time-outs in milliseconds; each change re-applies them to an open port.
class TTimeouts {
public:
    explicit TTimeouts(TCustomComPort* port) : ComPort(port) {}

    std::int32_t ReadInterval() const { return m_readInterval; }
    std::int32_t ReadMultiplier() const { return m_readMultiplier; }
    std::int32_t ReadConstant() const { return m_readConstant; }
    std::int32_t WriteMultiplier() const { return m_writeMultiplier; }
    std::int32_t WriteConstant() const { return m_writeConstant; }

    void SetReadInterval(std::int32_t value);
    void SetReadMultiplier(std::int32_t value);
    void SetReadConstant(std::int32_t value);
    void SetWriteMultiplier(std::int32_t value);
    void SetWriteConstant(std::int32_t value);

    TCustomComPort* const ComPort;

private:
    std::int32_t m_readInterval = 0;
    std::int32_t m_readMultiplier = 0;
    std::int32_t m_readConstant = 0;
    std::int32_t m_writeMultiplier = 0;
    std::int32_t m_writeConstant = 0;
};

class TCustomComPort : public QObject {
public:
    explicit TCustomComPort(QObject* AOwner = nullptr);
    ~TCustomComPort() override;
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // --- Component state ---------------------------------------------------------------
    // Design mode: a port being edited records Active without opening anything. Loading:
    // between BeginLoading and Loaded, Active only records its value; Loaded applies it.
    bool Designing() const { return m_designing; }
    void SetDesigning(bool value) { m_designing = value; }
    bool Loading() const { return m_loading; }
    void BeginLoading() { m_loading = true; }
    virtual void Loaded();

    // --- Configuration -----------------------------------------------------------------
    std::string GetAbout() const;
    void SetAbout(const std::string&) {}

    bool Active() const { return GetActive(); }
    bool GetActive() const;
    void SetActive(bool value);

    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate value);
    std::int32_t CustomBaudRate() const { return GetCustomBaudRate(); }
    std::int32_t GetCustomBaudRate() const;
    void SetCustomBaudRate(std::int32_t value);
    bool StoreCustomBaudRate() const { return m_baudRate == brCustom; }

    TDataBits DataBits() const { return m_dataBits; }
    void SetDataBits(TDataBits value);
    TParity Parity() const { return m_parity; }
    void SetParity(TParity value);
    TStopBits StopBits() const { return m_stopBits; }
    void SetStopBits(TStopBits value);
    TOptions Options() const { return m_options; }
    void SetOptions(TOptions value);

    const std::string& DeviceName() const { return m_deviceName; }
    void SetDeviceName(const std::string& value);
    bool SynchronizeEvents() const { return m_synchronizeEvents; }
    void SetSynchronizeEvents(bool value);
    TPriorityClass PriorityClass() const { return m_priorityClass; }
    void SetPriorityClass(TPriorityClass value);
    TThreadPriority ThreadPriority() const { return m_threadPriority; }
    void SetThreadPriority(TThreadPriority value);

    TFlowControl* FlowControl() const { return m_flowControl; }
    TCharacters* Characters() const { return m_characters; }
    TBufferSizes* BufferSizes() const { return m_bufferSizes; }
    TTimeouts* Timeouts() const { return m_timeouts; }

    TModemStatus ModemStatus() { return GetModemStatus(); }

    // Copies the configuration into `dcb` (toBlock true; fields left at Default keep the
    // block's values) or takes `dcb` into the configuration (toBlock false).
    void CopyDCB(win::DCB& dcb, bool toBlock);
    void SetComDCB();
    void SetComBufferSizes();
    void SetComTimeouts();

    // --- Errors ------------------------------------------------------------------------
    void CheckActive();
    void CheckInactive();
    [[noreturn]] void RaiseError(std::int32_t code, const std::string& message);
    void Check(bool success);

    // --- Open, close, event thread -----------------------------------------------------
    void Open();
    void Close();
    virtual void CreateHandle();
    void FreeHandle();
    void CreateThread();
    void DestroyThread();
    void SetComEventMask();

    // Event thread: one pass of its loop.
    void ThreadProc(TComThread* thread);
    // UI thread (or the event thread when SynchronizeEvents is false): the pass's handlers.
    void ThreadDoEvent();
    void RaiseThreadError();

    // --- Data transfer -----------------------------------------------------------------
    void Read(void* buffer, std::int32_t count, bool waitOnCompletion);
    void Write(const void* buffer, std::int32_t count, bool waitOnCompletion);
    void WaitForReadCompletion();
    void WaitForWriteCompletion();
    bool ReadPending() const;
    bool WritePending() const;
    std::int32_t InputCount();
    std::int32_t OutputCount();

    static TLineErrors GetLineErrors(win::DWORD errorWord);
    void CheckLineErrors();
    void ClearLineErrors();

    char ReadChar();
    std::uint8_t ReadByte();
    std::uint16_t ReadWord();
    std::uint32_t ReadDWord();
    void WriteChar(char value);
    void WriteByte(std::uint8_t value);
    void WriteWord(std::uint16_t value);
    void WriteDWord(std::uint32_t value);
    std::string ReadString();
    void WriteString(const std::string& value);
    std::string ReadUntil(char terminator);
    std::string ReadLine();

    void PurgeInput();
    void PurgeOutput();
    void ClearInput();
    void ClearOutput();
    void AbortInput();
    void AbortOutput();
    void Flush();

    // --- Line control and modem status -------------------------------------------------
    void TransmitChar(char c);
    void SetBreak();
    void ClearBreak();
    void SetDTR();
    void ClearDTR();
    void SetRTS();
    void ClearRTS();
    void SetXOn();
    void SetXOff();
    void ResetDevice();
    TModemStatus GetModemStatus();

    // --- Device enumeration and configuration dialogs (ComportEnum.cpp) -----------------
    // The listings append to `list` (never clearing or sorting it), use no state of this
    // port and never raise. The dialogs raise EComError when the device's default
    // configuration cannot be read or stored; a cancelled dialog returns false.
    void EnumDevices(QStringList& list);
    void EnumComDevices(QStringList& list);
    void EnumComDevicesFromRegistry(QStringList& list);
    std::string ShortDeviceName() const;
    bool ConfigDialog();
    bool DefaultConfigDialog();

    // --- Handlers ------------------------------------------------------------------------
    // Plain stores.
    const TOpenCloseEvent& AfterClose() const { return m_afterClose; }
    void SetAfterClose(const TOpenCloseEvent& h) { storeHandler(m_afterClose, h); }
    const TOpenCloseEvent& AfterOpen() const { return m_afterOpen; }
    void SetAfterOpen(const TOpenCloseEvent& h) { storeHandler(m_afterOpen, h); }
    const TReadWriteEvent& AfterRead() const { return m_afterRead; }
    void SetAfterRead(const TReadWriteEvent& h) { storeHandler(m_afterRead, h); }
    const TReadWriteEvent& AfterWrite() const { return m_afterWrite; }
    void SetAfterWrite(const TReadWriteEvent& h) { storeHandler(m_afterWrite, h); }
    const TOpenCloseEvent& BeforeClose() const { return m_beforeClose; }
    void SetBeforeClose(const TOpenCloseEvent& h) { storeHandler(m_beforeClose, h); }
    const TOpenCloseEvent& BeforeOpen() const { return m_beforeOpen; }
    void SetBeforeOpen(const TOpenCloseEvent& h) { storeHandler(m_beforeOpen, h); }
    const TReadWriteEvent& BeforeRead() const { return m_beforeRead; }
    void SetBeforeRead(const TReadWriteEvent& h) { storeHandler(m_beforeRead, h); }
    const TReadWriteEvent& BeforeWrite() const { return m_beforeWrite; }
    void SetBeforeWrite(const TReadWriteEvent& h) { storeHandler(m_beforeWrite, h); }
    const TComErrorEvent& OnError() const { return m_onError; }
    void SetOnError(const TComErrorEvent& h) { storeHandler(m_onError, h); }

    // Line events: a different routine recomputes the event mask, which starts or stops the
    // event thread of an open port.
    const TNotifyEvent& OnBreak() const { return m_onBreak; }
    void SetOnBreak(const TNotifyEvent& h);
    const TNotifyEvent& OnCTSChange() const { return m_onCTSChange; }
    void SetOnCTSChange(const TNotifyEvent& h);
    const TNotifyEvent& OnDSRChange() const { return m_onDSRChange; }
    void SetOnDSRChange(const TNotifyEvent& h);
    const TLineErrorEvent& OnLineError() const { return m_onLineError; }
    void SetOnLineError(const TLineErrorEvent& h);
    const TNotifyEvent& OnEvent1() const { return m_onEvent1; }
    void SetOnEvent1(const TNotifyEvent& h);
    const TNotifyEvent& OnEvent2() const { return m_onEvent2; }
    void SetOnEvent2(const TNotifyEvent& h);
    const TNotifyEvent& OnPrinterError() const { return m_onPrinterError; }
    void SetOnPrinterError(const TNotifyEvent& h);
    const TNotifyEvent& OnRing() const { return m_onRing; }
    void SetOnRing(const TNotifyEvent& h);
    const TNotifyEvent& OnRLSDChange() const { return m_onRLSDChange; }
    void SetOnRLSDChange(const TNotifyEvent& h);
    const TNotifyEvent& OnRx80PercFull() const { return m_onRx80PercFull; }
    void SetOnRx80PercFull(const TNotifyEvent& h);
    const TNotifyEvent& OnRxChar() const { return m_onRxChar; }
    void SetOnRxChar(const TNotifyEvent& h);
    const TNotifyEvent& OnRxFlag() const { return m_onRxFlag; }
    void SetOnRxFlag(const TNotifyEvent& h);
    const TNotifyEvent& OnTxEmpty() const { return m_onTxEmpty; }
    void SetOnTxEmpty(const TNotifyEvent& h);

    // --- State, read-only ----------------------------------------------------------------
    bool StoredActive() const { return m_storedActive; }
    win::HANDLE Handle() const { return m_handle; }
    TComThread* Thread() const { return m_thread; }
    win::DWORD Events() const { return m_events; }
    std::int32_t SavedPriorityClass() const { return m_savedPriorityClass; }
    win::DWORD ThreadError() const { return m_threadError; }
    // The event mask that the assigned line-event handlers ask for.
    win::DWORD EventMask() const;

private:
    template <typename H> void setLineHandler(H& slot, const H& handler);
    // Handler slots are written only by the owning thread, under m_handlerLock; a call reads
    // its slot under the lock too, since it may run on the event thread (events that are not
    // synchronized, and what they call) while the owner assigns. The handler runs unlocked,
    // on a copy, so it may assign slots itself.
    template <typename H> void storeHandler(H& slot, const H& handler) {
        std::lock_guard lock(m_handlerLock);
        slot = handler;
    }
    template <typename H> bool handlerAssigned(const H& slot) const {
        std::lock_guard lock(m_handlerLock);
        return slot.assigned();
    }
    template <typename H, typename... A> void callHandler(const H& slot, A&&... args) {
        H copy;
        {
            std::lock_guard lock(m_handlerLock);
            if (!slot)
                return;
            copy = slot;
        }
        copy(std::forward<A>(args)...);
    }
    void checkCreated(bool created);
    void checkTransferCount(std::int32_t count, const void* buffer);
    void transfer(bool reading, const void* buffer, std::int32_t count, bool waitOnCompletion);
    void waitForCompletion(bool reading);
    // The body of every setter whose property needs a closed port.
    template <typename T> void storeWhenClosed(T& member, const T& value) {
        if (value != member) {
            CheckInactive();
            member = value;
        }
    }
    win::COMSTAT queueStatus();
    void purge(win::DWORD flags);
    void escape(win::DWORD function);
    void dispatch(TComThread* thread);
    void readConfig(win::COMMCONFIG& config, win::DWORD& size);

    bool m_designing = false;
    bool m_loading = false;

    bool m_storedActive = false;
    win::HANDLE m_handle = win::INVALID_HANDLE_VALUE;
    win::HANDLE m_readEvent = nullptr;
    win::HANDLE m_writeEvent = nullptr;
    win::OVERLAPPED m_eventOverlapped{};
    win::OVERLAPPED m_readOverlapped{};
    win::OVERLAPPED m_writeOverlapped{};
    TComThread* m_thread = nullptr;
    win::DWORD m_events = 0;
    win::DWORD m_readRequested = 0;
    win::DWORD m_writeRequested = 0;
    std::int32_t m_savedPriorityClass = -1;
    platform::PriorityState m_savedPriority; // exact, beside the coarse class above
    win::DWORD m_threadError = 0;
    TThreadPriority m_threadPriority = tpTimeCritical;
    std::int32_t m_customBaudRate = 0;
    TBaudRate m_baudRate = brDefault;
    TBufferSizes* m_bufferSizes = nullptr;
    TCharacters* m_characters = nullptr;
    TDataBits m_dataBits = dbDefault;
    std::string m_deviceName = "COM1";
    TFlowControl* m_flowControl = nullptr;
    TParity m_parity = paDefault;
    TPriorityClass m_priorityClass = pcDefault;
    TOptions m_options;
    TStopBits m_stopBits = sbDefault;
    bool m_synchronizeEvents = true;
    TTimeouts* m_timeouts = nullptr;
    // The bytes of the write in progress: taken over from the caller when the write starts.
    std::vector<char> m_writeBuffer;

    mutable std::mutex m_handlerLock;
    TOpenCloseEvent m_afterClose;
    TOpenCloseEvent m_afterOpen;
    TReadWriteEvent m_afterRead;
    TReadWriteEvent m_afterWrite;
    TOpenCloseEvent m_beforeClose;
    TOpenCloseEvent m_beforeOpen;
    TReadWriteEvent m_beforeRead;
    TReadWriteEvent m_beforeWrite;
    TNotifyEvent m_onBreak;
    TNotifyEvent m_onCTSChange;
    TNotifyEvent m_onDSRChange;
    TComErrorEvent m_onError;
    TNotifyEvent m_onEvent1;
    TNotifyEvent m_onEvent2;
    TLineErrorEvent m_onLineError;
    TNotifyEvent m_onPrinterError;
    TNotifyEvent m_onRing;
    TNotifyEvent m_onRLSDChange;
    TNotifyEvent m_onRx80PercFull;
    TNotifyEvent m_onRxChar;
    TNotifyEvent m_onRxFlag;
    TNotifyEvent m_onTxEmpty;
};

// The published port: everything of TCustomComPort, nothing added.
class TComPort : public TCustomComPort {
public:
    explicit TComPort(QObject* AOwner = nullptr) : TCustomComPort(AOwner) {}
};
