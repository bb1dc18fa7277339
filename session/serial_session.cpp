// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/serial_session.h"
#include "dialogs/source_lines.h"

#include "comport/Comport.h"
#include "dialogs/Dialogs.h"
#include "platform/app_timer.h"
#include "platform/device_change.h"
#include "platform/dos_devices.h"
#include "platform/exception_guard.h"
#include "platform/hotplug_watcher.h"
#include "platform/port_table.h"
#include "platform/win_comm.h"
#include "session/com_port_list.h"
#include "session/session_texts.h"

#include <QCoreApplication>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <chrono>
#include <climits>
#include <cstdio>
#include <grp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace session {

namespace {

constexpr const char* kBusyText =
    "An exchange with the XRQ unit is running; try again when it has ended.";

// QTimer takes a signed interval and does not run at 0; a wait must always end.
int timerInterval(std::uint32_t ms) {
    if (ms == 0)
        return 1;
    return ms > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

std::string groupOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    const struct group* g = ::getgrgid(st.st_gid);
    return g ? std::string(g->gr_name) : std::string();
}

// Marks a close as the session's own, so that it is not taken for a vanished device.
class OwnClose {
public:
    explicit OwnClose(bool& flag) : m_flag(flag), m_was(flag) { m_flag = true; }
    ~OwnClose() { m_flag = m_was; }
    OwnClose(const OwnClose&) = delete;
    OwnClose& operator=(const OwnClose&) = delete;

private:
    bool& m_flag;
    bool m_was;
};

} // namespace

// Marks a primitive as waiting and, on every way out (an exception from the port
// included), resets the match state so that no later chunk is stored into a buffer that is
// gone or written to a capture file that is closed.
class SerialSession::WaitScope {
public:
    explicit WaitScope(SerialSession& form) : m_form(form) {
        m_form.m_waiting = true;
        m_form.m_stopRequested = false;
        emit m_form.exchangeStateChanged();
    }
    ~WaitScope() {
        m_form.Match.resetAfterWait();
        m_form.m_waiting = false;
        m_form.m_stopRequested = false;
        // The exchange's time-out has done its job: idle, no timer of ours wakes the program.
        m_form.SerialTimer->setEnabled(false);
        emit m_form.exchangeStateChanged();
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

private:
    SerialSession& m_form;
};

SerialSession::SerialSession(QObject* parent) : QObject(parent) {
    SerialCom = new TComPort(this);
    SerialCom->BufferSizes()->SetInput(8192);
    SerialCom->SetDataBits(db8);
    SerialCom->SetDeviceName("COM1");
    SerialCom->FlowControl()->SetDTRControl(dcDisable);
    SerialCom->FlowControl()->SetRTSControl(rcDisable);
    SerialCom->FlowControl()->SetXOnXOffControl(xcDisable);
    SerialCom->SetOptions(TOptions{});
    SerialCom->SetParity(paNone);
    SerialCom->SetStopBits(sb1);
    SerialCom->Timeouts()->SetReadConstant(50);
    SerialCom->SetOnRxChar(TNotifyEvent(this, &SerialSession::SerialComRxChar));
    SerialCom->SetAfterClose(TOpenCloseEvent(this, &SerialSession::SerialComAfterClose));
    SerialCom->SetOnError(TComErrorEvent(this, &SerialSession::SerialComError));

    SerialTimer = new platform::AppTimer(this, 1234, false);
    SerialTimer->setOnTimer([this] { SerialTimerTimer(SerialTimer); });
    DelayTimer = new platform::AppTimer(this, 1000, false); // runs only during a pause
    DelayTimer->setOnTimer([this] { DelayTimerTimer(DelayTimer); });
}

SerialSession::~SerialSession() {
    // The component closes its port as it goes; that is no vanished device.
    SerialCom->SetAfterClose(nullptr);
    SerialCom->SetOnError(nullptr);
}

void SerialSession::StopTimers() {
    SerialTimer->setEnabled(false);
    DelayTimer->setEnabled(false);
}

void SerialSession::UseComPort(int n) {
    if (ComPortNumber == n)
        return;
    ComPortNumber = n;
    emit sessionChanged();
}

void SerialSession::DelayTimerTimer(QObject*) {
    DelayTimer->setEnabled(false); // a pause ends with its first tick
    DelayDone = true;
}

void SerialSession::SerialTimerTimer(QObject*) {
    Match.TimedOut = true;
}

void SerialSession::tellExchangeRunning() {
    LogWrite(kBusyText, source_line::sessionBusy, LogSizeLimit);
    emit exchangeRefused(QString::fromLatin1(kBusyText));
}

void SerialSession::StopExchanges() {
    m_stopped = true;
    Match.TimedOut = true;
    SerialTimer->setEnabled(false);
    if (PortOpen)
        iClosePort();
}

void SerialSession::StopExchange() {
    if (!m_waiting)
        return;
    m_stopRequested = true;
    Match.TimedOut = true;
    SerialTimer->setEnabled(false);
    // What the unit still sends of the stopped reply must not answer the next exchange. A
    // stopped download's bytes are the unit's data, though: they stay queued for
    // iFinishStoppedCapture, which writes them to the download's file.
    const bool capture = Match.Capturing;
    onLine([this, capture] {
        if (!capture)
            SerialCom->PurgeInput();
        SerialCom->PurgeOutput();
    });
    m_replyTail = 0;
}

bool SerialSession::refuseNested() {
    if (m_stopped)
        return true;
    if (!ExchangeRunning())
        return false;
    tellExchangeRunning();
    return true;
}

// ---------------------------------------------------------------------------------------
// Opening and closing

// Whole: the open primitive's sequence, each step's error its own number.
int SerialSession::iOpenPort() {
    // Closing and reopening underneath a waiting exchange would cut it off.
    if (refuseNested())
        return 1;
    LogWrite("Open serial port", source_line::openSerialPort, LogSizeLimit);
    if (ComPortNumber < 0) {
        DlgInternalError("Invalid COM port. Please run Setup.", source_file::serialSession,
                         source_line::invalidPortAtOpen);
        return 1;
    }
    m_opening = true;
    emit exchangeStateChanged();
    struct Opening {
        SerialSession& form;
        ~Opening() {
            form.m_opening = false;
            emit form.exchangeStateChanged();
            emit form.sessionChanged();
        }
    } opening{*this};
    try {
        iClosePort();
        // A component whose device vanished under a session stays active until its event
        // thread sees the loss; it would refuse the new device name, or find the replugged
        // device "in use" by itself.
        if (SerialCom->Active()) {
            const OwnClose own(m_ownClose);
            SerialCom->Close();
        }
        m_replyTail = 0;
        m_goneWhileOpening = false;
        std::string noPermissionDevice;
        const int answer = probe(ComPortNumber, noPermissionDevice);
        if (answer == 0) {
            QCoreApplication::processEvents();
            SerialCom->SetDeviceName("\\\\.\\COM" + std::to_string(ComPortNumber));
            SerialCom->SetCustomBaudRate(BaudRate);
            SerialCom->Open();
            QCoreApplication::processEvents();
            DelayMs(250);
            if (m_stopped) {
                const OwnClose own(m_ownClose);
                SerialCom->Close();
                return 1;
            }
            // The device went during the pause: the component may have closed itself, or
            // still hold the lost device. Either way there is no port to call open.
            if (m_goneWhileOpening || !SerialCom->Active()) {
                if (SerialCom->Active()) {
                    const OwnClose own(m_ownClose);
                    SerialCom->Close();
                }
                DlgError(session_text::unableToOpen(ComPortNumber, false) +
                         "\nThe device went away while the port was being opened.");
                return 1;
            }
            SerialCom->PurgeOutput();
            SerialCom->PurgeInput();
            PortOpen = true;
            m_lostDevice = false;
            return 0;
        }
        std::string text = session_text::unableToOpen(ComPortNumber, answer == 1);
        if (!noPermissionDevice.empty())
            text += "\n" +
                    session_text::permissionHint(noPermissionDevice, groupOf(noPermissionDevice));
        DlgError(text);
        return 1;
    } catch (...) {
        // A component left open behind a closed session would hold the device, and every
        // later attempt would find it "in use".
        try {
            const OwnClose own(m_ownClose);
            if (SerialCom->Active())
                SerialCom->Close();
        } catch (...) {
        }
        PortOpen = false;
        DlgInternalError("Error opening port COM" + std::to_string(ComPortNumber),
                         source_file::serialSession, source_line::portNotOpened);
        return 1;
    }
}

int SerialSession::iClosePort() {
    LogWrite(session_text::closeLine(PortOpen, ComPortNumber, BaudRate),
             source_line::closeSerialPort, LogSizeLimit);
    if (ComPortNumber < 0) {
        DlgInternalError("Invalid COM port. Please run Options Setup.", source_file::serialSession,
                         source_line::invalidPortAtClose);
        return 1;
    }
    if (PortOpen) {
        PortOpen = false;
        m_lostDevice = false;
        const OwnClose own(m_ownClose);
        SerialCom->Close();
        emit sessionChanged();
    }
    return 0;
}

void SerialSession::SerialComAfterClose(TCustomComPort*) {
    if (!m_ownClose)
        deviceVanished();
}

void SerialSession::SerialComError(TCustomComPort*, EComError& E, TComAction& Action) {
    // Only an open port counts: at open time access denied means "in use" or "no
    // permission", which the open reports itself.
    if (E.ErrorCode == static_cast<std::int32_t>(win::ERROR_ACCESS_DENIED) && SerialCom->Active() &&
        !m_opening)
        Action = caAbort;
}

// Runs inside the component's close, which its event thread asked for: only the session's
// own state changes here; the rescan and its messages come later, from the event loop.
void SerialSession::deviceVanished() {
    const bool wasOpen = PortOpen;
    PortOpen = false;
    if (wasOpen)
        m_lostDevice = true;
    if (m_waiting)
        m_lineWentAway = true;
    if (m_opening)
        m_goneWhileOpening = true;
    LogWrite(session_text::deviceGoneLine(ComPortNumber, wasOpen), source_line::deviceGone,
             LogSizeLimit);
    emit portVanished(ComPortNumber);
    emit sessionChanged();
}

template <class F> bool SerialSession::onLine(F call) {
    if (!sessionUsable())
        return false;
    try {
        call();
        return true;
    } catch (const EAbort&) {
        // Our error handler's answer to a device that went: its close follows from the
        // component's event thread, and the removal messages tell the operator.
        return false;
    }
}

int SerialSession::probe(int n, std::string& noPermissionDevice) {
    noPermissionDevice.clear();
    const platform::PortTable table = platform::PortTable::current();
    const std::string path = table.devicePath(n);
    // A program that takes no lock (cat, a script) is not stopped by our exclusive open:
    // look before opening, so that two programs never read the unit's replies.
    if (!path.empty()) {
        const platform::DeviceProbe p = platform::probeDevice(path, table);
        if (p.state == platform::DeviceState::InUse)
            return 1;
    }
    const std::string name = "\\\\.\\COM" + std::to_string(n);
    win::HANDLE h =
        win::CreateFileA(name.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                         win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, nullptr);
    if (h != win::INVALID_HANDLE_VALUE) {
        win::CloseHandle(h);
        return 0;
    }
    const win::DWORD error = win::GetLastError();
    // Access denied covers a held port and a missing permission alike; only the first is
    // "in use". The second is the commonest failure here and gets a hint of its own.
    if (!path.empty()) {
        const platform::DeviceProbe p = platform::probeDevice(path, table);
        if (p.state == platform::DeviceState::NoPermission) {
            noPermissionDevice = p.resolvedPath.empty() ? path : p.resolvedPath;
            return 2;
        }
    }
    return error == win::ERROR_ACCESS_DENIED ? 1 : 2;
}

int SerialSession::iProbePort(int n) {
    std::string ignored;
    return probe(n, ignored);
}

void SerialSession::DelayMs(std::uint32_t Milliseconds) {
    DelayTimer->setEnabled(false);
    DelayTimer->setInterval(timerInterval(Milliseconds));
    DelayDone = false;
    DelayTimer->setEnabled(true);
    while (!DelayDone)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// ---------------------------------------------------------------------------------------
// Primitives

void SerialSession::armSerialTimer(std::uint32_t delay) {
    SerialTimer->setEnabled(false);
    SerialTimer->setInterval(timerInterval(delay));
    Match.TimedOut = false;
    SerialTimer->setEnabled(true);
}

template <class Done> void SerialSession::waitUntil(Done done) {
    // One event at a time: sleeps in the event loop while nothing is pending; receive
    // events and timer ticks wake it. A device that goes ends the wait as its time-out.
    while (!m_stopped && !m_stopRequested && !Match.TimedOut && !m_lineWentAway && !done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (m_lineWentAway || m_stopRequested)
        Match.TimedOut = true;
    m_lastWaitEnd = m_lineWentAway    ? WaitEnd::LineGone
                    : m_stopRequested ? WaitEnd::Stopped
                    : Match.TimedOut  ? WaitEnd::TimedOut
                                      : WaitEnd::Answered;
}

// What sets the four primitives apart; everything else is one course (runExchange).
struct SerialSession::Exchange {
    std::uint8_t storeMode; // 0 capture, 1 wait for a char, 2 store all, 3 store between
    char startChar;
    char endChar;
    char* buffer;
    std::int32_t count;
    std::string startLine;
    int startLineNumber;
};

namespace {

struct ModeTraits {
    bool startArmed;
    bool endArmed;
    bool collecting; // at start
    bool capturing;
    bool purge; // the storing primitives: nothing received before the command is stored
};

// By store mode.
constexpr ModeTraits kModes[4] = {
    /* 0 iCaptureTo */ {false, true, false, true, false},
    /* 1 iWaitForChar */ {true, false, false, false, false},
    /* 2 iWaitForStringNUntilTermination */ {true, true, true, false, true},
    /* 3 iWaitForStringNBetweenChars */ {true, true, false, false, true},
};

bool exchangeDone(const MatchState& m) {
    switch (m.StoreMode) {
    case 1:
        return m.StartSeen || m.EndSeen;
    case 3:
        return m.StoreCount == 0;
    default:
        return m.Terminated;
    }
}

void checkBuffer(const char* who, const char* buffer, std::int32_t n) {
    if (n < 1 || buffer == nullptr)
        throw std::invalid_argument(std::string(who) + " needs a buffer and N of at least 1");
}

} // namespace

bool SerialSession::runExchange(const Exchange& x, const std::string& Command,
                                std::uint32_t Delay) {
    // A port lost with its device is opened anew, so that a unit that came back is reached
    // without the operator closing anything first.
    if (!PortOpen && m_lostDevice && ComPortNumber > 0)
        iOpenPort();
    if (!Command.empty() && MayBeSending())
        awaitEarlierSending();
    WaitScope scope(*this);
    LogWrite(x.startLine, x.startLineNumber, LogSizeLimit);
    const ModeTraits& t = kModes[x.storeMode];
    Match.StartChar = x.startChar;
    Match.EndChar = x.endChar;
    Match.StartArmed = t.startArmed;
    Match.EndArmed = t.endArmed;
    Match.Collecting = t.collecting;
    Match.Capturing = t.capturing;
    Match.StoreMode = x.storeMode;
    Match.StoreCount = x.count;
    if (x.buffer)
        Match.StorePtr = x.buffer;
    Match.Terminated = Match.StartSeen = Match.EndSeen = false;
    if (t.purge) {
        onLine([this] {
            SerialCom->PurgeInput();
            SerialCom->PurgeOutput();
        });
        // Whatever was on its way is gone now, a late end character included.
        m_replyTail = 0;
    }
    if (x.storeMode == 3) {
        // Nothing is stored before the start character, so an earlier reply's end is harmless
        // here, and a '>' after it belongs to this reply.
        m_replyTail = 0;
    }
    if (!Command.empty())
        iSendString(Command);
    if (x.storeMode == 1)
        LogWrite("Command sent", source_line::commandSent, LogSizeLimit);
    m_lineWentAway = false;
    armSerialTimer(Delay);
    m_bytesInExchange = 0;
    waitUntil([this] { return exchangeDone(Match); });
    // No answer, but bytes came: the unit is busy sending something else, which the next
    // exchange waits out.
    if (m_lastWaitEnd == WaitEnd::TimedOut && m_bytesInExchange > 0)
        m_lastUnanswered = m_lastArrival;
    if (x.storeMode == 1)
        LogWrite("Found", source_line::replyFound, LogSizeLimit);
    // Done at the N-th character: the reply's end character may still be on the line, and
    // would otherwise answer the next exchange (a readiness check, or end a download at once).
    if (x.storeMode == 3 && !Match.TimedOut && !Match.EndSeen && x.endChar != 0) {
        m_replyTail = x.endChar;
        m_replyTailSince = std::chrono::steady_clock::now();
    }
    return Match.TimedOut;
}

bool SerialSession::MayBeSending() const {
    return m_lastUnanswered && std::chrono::steady_clock::now() - *m_lastUnanswered <
                                   std::chrono::milliseconds(EarlierQuietMs);
}

void SerialSession::awaitEarlierSending() {
    m_lastUnanswered.reset();
    if (m_stopped || !sessionUsable())
        return;
    // An exchange of its own: others are refused meanwhile, Exit and Stop end it.
    WaitScope scope(*this);
    Match.StartArmed = Match.EndArmed = Match.Collecting = Match.Capturing = false;
    Match.Terminated = Match.StartSeen = Match.EndSeen = false;
    m_listenBytes = 0;
    m_listenCutOff = false;
    m_lineWentAway = false;
    m_listening = true;
    auto listened = qScopeGuard([this] { m_listening = false; });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [this] {
        m_listenCutOff = true;
        Match.TimedOut = true;
    });
    limit.start(timerInterval(EarlierLimitMs));
    // Each chunk starts the quiet period afresh (takeEarlierSending): it ends on silence.
    armSerialTimer(EarlierQuietMs);
    waitUntil([] { return false; });
    m_listening = false;
    if (m_listenBytes == 0)
        return;
    LogWrite("The XRQ unit was still sending (" + std::to_string(m_listenBytes) +
                 " bytes that answered nothing" +
                 (m_listenCutOff ? ", and still more when the wait for its end ran out"
                                 : ", then it fell quiet") +
                 ")",
             source_line::earlierSendingRead, LogSizeLimit);
    if (OnEarlierSending.ended)
        OnEarlierSending.ended(m_listenBytes, m_listenCutOff);
}

void SerialSession::takeEarlierSending() {
    if (m_listenBytes == 0 && OnEarlierSending.began)
        OnEarlierSending.began();
    m_listenBytes += RxBuffer.size();
    if (OnEarlierSending.received)
        OnEarlierSending.received(RxBuffer);
    SerialTimer->restart();
}

int SerialSession::iCaptureTo(const std::string& Command, char Termination, std::uint32_t Delay,
                              ByteSink* sink) {
    if (refuseNested())
        return 1;
    const Exchange x{0,       0, Termination,
                     nullptr, 0, session_text::captureStart(Termination, Command, Delay),
                     448};
    m_captureLineErrors.reset();
    m_lineErrorsCounted = false;
    // What the device reported before this capture is not this capture's.
    if (PortOpen)
        onLine([this] { SerialCom->ClearLineErrors(); });
    m_captureSink = sink;
    auto released = qScopeGuard([this] { m_captureSink = nullptr; });
    return runCapture(x, Command, Delay) ? 1 : 0;
}

bool SerialSession::runCapture(const Exchange& x, const std::string& Command, std::uint32_t Delay) {
    // The component puts EV_ERR in its event mask while a handler is assigned: the device's
    // line errors are counted for the capture, and the handler that was there comes back.
    const TLineErrorEvent before = SerialCom->OnLineError();
    SerialCom->SetOnLineError(TLineErrorEvent(this, &SerialSession::SerialComLineError));
    auto restore = qScopeGuard([this, &before] {
        noteLineErrorsCounted();
        try {
            SerialCom->SetOnLineError(before);
        } catch (const std::exception&) {
            // A device gone meanwhile: its close takes the mask with it.
        }
    });
    noteLineErrorsCounted();
    return runExchange(x, Command, Delay);
}

void SerialSession::noteLineErrorsCounted() {
    // Asked while the port is open; once known for this capture it stays known.
    if (PortOpen && SerialCom->GetActive() && platform::lineErrorsCounted(SerialCom->Handle()))
        m_lineErrorsCounted = true;
}

LineErrorCounts SerialSession::CaptureLineErrors() const {
    return m_captureLineErrors.counts(m_lineErrorsCounted);
}

void SerialSession::SerialComLineError(QObject*, TLineErrors Errors) {
    LineErrorTally::Report report;
    report.framing = Errors.contains(leFrame);
    report.parity = Errors.contains(leParity);
    report.overrun = Errors.contains(leOverrun);
    report.brk = Errors.contains(leBreak);
    report.buffer = Errors.contains(leRxOverflow);
    m_captureLineErrors.add(report);
}

int SerialSession::iFinishStoppedCapture(char Termination, std::uint32_t Delay, ByteSink* sink) {
    // A port that went has nothing more to send, and must not be opened anew for this.
    if (refuseNested() || !sessionUsable())
        return 1;
    const Exchange x{0,
                     0,
                     Termination,
                     nullptr,
                     0,
                     "Waiting for the end of the stopped download (its prompt \"" +
                         std::string(1, Termination) + "\", or " + std::to_string(Delay) +
                         " ms of silence)",
                     source_line::waitingForStoppedDownload};
    m_captureSink = sink;
    auto released = qScopeGuard([this] { m_captureSink = nullptr; });
    return runCapture(x, std::string(), Delay) ? 1 : 0;
}

void SerialSession::AwaitReplyTail() {
    if (m_replyTail == 0 || !sessionUsable())
        return;
    // The same horizon as the filter's own: a unit that never ends its reply is not waited for.
    QTimer deadline;
    deadline.setSingleShot(true);
    const auto left =
        std::chrono::milliseconds(1000) - std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - m_replyTailSince);
    if (left.count() <= 0)
        return;
    deadline.start(static_cast<int>(left.count()));
    while (m_replyTail != 0 && deadline.isActive() && !m_stopped && sessionUsable())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

int SerialSession::iWaitForChar(const std::string& Command, char Char1, char Char2,
                                std::uint32_t Delay) {
    if (refuseNested())
        return -1;
    const Exchange x{1,       Char1, Char2,
                     nullptr, 0,     session_text::waitForCharStart(Char1, Char2, Command, Delay),
                     517};
    m_awaitedLine.clear();
    m_textBeforeAwaited.clear();
    if (runExchange(x, Command, Delay))
        return -1;
    return Match.StartSeen ? 1 : 2;
}

void SerialSession::noteAwaitedLine(std::string_view chunk) {
    constexpr std::size_t kKept = 256;
    for (const char c : chunk) {
        if (c == Match.StartChar) {
            m_textBeforeAwaited = m_awaitedLine;
            return;
        }
        if (c == '\n')
            m_awaitedLine.clear();
        else if (m_awaitedLine.size() < kKept)
            m_awaitedLine += c;
    }
}

int SerialSession::iWaitForStringNUntilTermination(const std::string& Command, char Termination,
                                                   std::uint32_t Delay, char* Buffer,
                                                   std::int32_t N) {
    checkBuffer("iWaitForStringNUntilTermination", Buffer, N);
    if (refuseNested())
        return 1;
    const Exchange x{2,      0, Termination,
                     Buffer, N, session_text::untilTerminationStart(Termination, Command, Delay),
                     593};
    return runExchange(x, Command, Delay) ? 1 : 0;
}

int SerialSession::iWaitForStringNBetweenChars(const std::string& Command, char StartChar,
                                               char EndChar, std::uint32_t Delay, char* Buffer,
                                               std::int32_t N) {
    checkBuffer("iWaitForStringNBetweenChars", Buffer, N);
    if (refuseNested())
        return 1;
    const Exchange x{3,       StartChar,
                     EndChar, Buffer,
                     N,       session_text::betweenCharsStart(StartChar, EndChar, Command, Delay),
                     671};
    return runExchange(x, Command, Delay) ? 1 : 0;
}

bool SerialSession::sessionUsable() const {
    // A component that closed itself after its device vanished has been reported once
    // already; the session then sends nothing and waits out its delay.
    return PortOpen && SerialCom->Active();
}

int SerialSession::iSendString(const std::string& Command) {
    if (!sessionUsable())
        return 1;
    for (char c : Command) {
        if (!onLine([&] { SerialCom->WriteChar(c); }))
            return 1;
        // The unit takes its commands one character at a time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A write is handed to the driver and may still be on its way: the next exchange's
    // purge of the output would abort it (a clock text that lost its last digit, told as
    // set). Sent means on the line.
    if (!onLine([&] { SerialCom->WaitForWriteCompletion(); }))
        return 1;
    return 0;
}

int SerialSession::iSendChar(char Ch) {
    return onLine([&] { SerialCom->WriteChar(Ch); }) ? 0 : 1;
}

// ---------------------------------------------------------------------------------------
// Receive path

void SerialSession::SerialComRxChar(QObject*) {
    if (!PortOpen) {
        // Bytes while the port is being opened (its opening purge drops them) answer nothing:
        // a unit still sending.
        if (m_opening)
            m_lastUnanswered = m_lastArrival = std::chrono::steady_clock::now();
        return;
    }
    if (!onLine([this] { RxBuffer = SerialCom->ReadString(); }))
        return;
    if (RxBuffer.empty())
        return;
    m_bytesReceived += RxBuffer.size();
    m_lastArrival = std::chrono::steady_clock::now();
    if (!m_waiting)
        m_bytesOutside += RxBuffer.size();
    else
        m_bytesInExchange += RxBuffer.size();
    ScanReceived();
}

void SerialSession::ScanReceived() {
    if (ReceivedEcho)
        ReceivedEcho->write(RxBuffer);
    if (m_listening) {
        takeEarlierSending();
        return;
    }
    const std::string_view fresh = withoutReplyTail(RxBuffer);
    // Bytes while no exchange waits (an earlier reply's awaited end aside) answer nothing.
    if (!m_waiting && !fresh.empty())
        m_lastUnanswered = m_lastArrival;
    if (m_waiting && Match.StoreMode == 1 && Match.StartArmed && !Match.StartSeen)
        noteAwaitedLine(fresh);
    Match.scan(fresh);
    if (Match.Capturing)
        WriteCapture();
}

std::string_view SerialSession::withoutReplyTail(std::string_view chunk) {
    if (m_replyTail == 0)
        return chunk;
    // A unit that never ends its reply must not lose the next one's end character for good.
    if (std::chrono::steady_clock::now() - m_replyTailSince > std::chrono::milliseconds(1000)) {
        m_replyTail = 0;
        return chunk;
    }
    const auto end = chunk.find(m_replyTail);
    if (end == std::string_view::npos)
        return {};
    m_replyTail = 0;
    return chunk.substr(end + 1);
}

void SerialSession::WriteCapture() {
    // The first chunk the sink cannot take ends the capture at once: a download with a hole
    // in it must not go on as if whole.
    if (m_captureSink && !m_captureSink->write(RxBuffer)) {
        StopExchange();
        return;
    }
    // Every chunk starts a new full period: the capture times out on silence only.
    SerialTimer->restart();
}

// ---------------------------------------------------------------------------------------
// Ports that come and go

void SerialSession::WMDeviceChange(win::TMessage& Message) {
    Message.Result = 1;
    if (Message.WParam != win::DBT_DEVICEARRIVAL && Message.WParam != win::DBT_DEVICEREMOVECOMPLETE)
        return;
    if (Message.LParam == 0)
        return;
    const auto* header = reinterpret_cast<const win::DEV_BROADCAST_HDR*>(Message.LParam);
    if (header->dbch_devicetype != win::DBT_DEVTYP_PORT)
        return;
    const auto* record = reinterpret_cast<const win::DEV_BROADCAST_PORTW*>(Message.LParam);
    std::u16string wide;
    for (char16_t c : record->dbcp_name) {
        if (c == 0)
            break;
        wide.push_back(c);
    }
    const std::string name = com_port_list::narrowDeviceName(wide, 50);
    if (name.compare(0, 3, "COM") != 0)
        return;
    const std::optional<int> number = com_port_list::portNumberFromDeviceName(name);

    if (Message.WParam == win::DBT_DEVICEARRIVAL) {
        DlgInfo("Com port " + name + " added to system!");
        if (!number)
            return;
        if (PortOpen)
            iClosePort();
        ComPortNumber = *number;
        emit sessionChanged();
        return;
    }

    DlgInfo("Com port " + name + " removed from system!");
    if (!number || *number != ComPortNumber)
        return;
    // The device is gone: the session stops reading at once; the component keeps the lost
    // handle until its own event wait fails, so only the close line is logged here.
    PortOpen = false;
    DlgWarning("Selected com port removed.");
    iClosePort();
    ComPortNumber = -1;
    emit sessionChanged();
}

platform::HotplugWatcher* startPortWatch(QObject* owner, std::function<SerialSession*()> session) {
    // One watcher for the run; a second call re-aims it at the table now in force.
    static QPointer<platform::HotplugWatcher> watcher;
    if (!owner)
        return nullptr;
    if (watcher) {
        watcher->setPortTable(platform::PortTable::current());
        return watcher;
    }
    watcher = new platform::HotplugWatcher(platform::PortTable::current(), owner);
    // A pty that closes or a link whose target vanished makes no uevent: the session's own
    // port is the one to tell.
    if (SerialSession* s = session())
        QObject::connect(s, &SerialSession::portVanished, watcher,
                         [w = watcher.data()] { w->requestRescan(); });
    watcher->setHandler([session](win::TMessage& message) {
        platform::runGuarded([&] {
            if (SerialSession* s = session())
                s->WMDeviceChange(message);
            if (SerialSession* s = session())
                emit s->portsChanged();
        });
    });
    return watcher;
}

} // namespace session
