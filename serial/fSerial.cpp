#include "serial/fSerial.h"

#include "comport/Comport.h"
#include "dialogs/Dialogs.h"
#include "main/fMain.h"
#include "main/memo_batcher.h"
#include "platform/app_timer.h"
#include "platform/dos_devices.h"
#include "platform/port_table.h"
#include "platform/win_comm.h"
#include "serial/fTerminal.h"
#include "serial/session_texts.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QStatusBar>
#include <QVBoxLayout>

#include <chrono>
#include <climits>
#include <cstdio>
#include <grp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

TFormSerial* FormSerial = nullptr;

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

} // namespace

// Marks a primitive as waiting and, on every way out (an exception from the port
// included), resets the match state so that no later chunk is stored into a buffer that is
// gone or written to a capture file that is closed.
class TFormSerial::WaitScope {
public:
    explicit WaitScope(TFormSerial& form) : m_form(form) { m_form.m_waiting = true; }
    ~WaitScope() {
        m_form.Match.resetAfterWait();
        m_form.m_waiting = false;
        // The exchange's time-out has done its job: idle, no timer of ours wakes the program.
        m_form.SerialTimer->setEnabled(false);
    }
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

private:
    TFormSerial& m_form;
};

TFormSerial::TFormSerial(QWidget* parent) : QWidget(parent) {
    setWindowTitle("FormSerial");
    Label1 = new QLabel("Form should never be shown", this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);

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
    SerialCom->SetOnRxChar(TNotifyEvent(this, &TFormSerial::SerialComRxChar));

    SerialTimer = new platform::AppTimer(this, 1234, false);
    SerialTimer->setOnTimer([this] { SerialTimerTimer(SerialTimer); });
    DelayTimer = new platform::AppTimer(this, 1000, false); // runs only during a pause
    DelayTimer->setOnTimer([this] { DelayTimerTimer(DelayTimer); });

    FormCreate(this);
}

TFormSerial::~TFormSerial() {
    if (FormSerial == this)
        FormSerial = nullptr;
}

void TFormSerial::FormCreate(QObject*) {
    Match = MatchState{};
    PortOpen = false;
}

void TFormSerial::FormClose(QObject*) {
    SerialTimer->setEnabled(false);
    DelayTimer->setEnabled(false);
}

void TFormSerial::closeEvent(QCloseEvent* event) {
    FormClose(this);
    QWidget::closeEvent(event);
}

void TFormSerial::DelayTimerTimer(QObject*) {
    DelayTimer->setEnabled(false); // a pause ends with its first tick
    DelayDone = true;
}

void TFormSerial::SerialTimerTimer(QObject*) {
    Match.TimedOut = true;
}

void TFormSerial::tellExchangeRunning() {
    LogWrite(kBusyText, __LINE__, LogSizeLimit);
    if (FormXRQMain)
        FormXRQMain->statusBar()->showMessage(QString::fromLatin1(kBusyText), 5000);
}

bool TFormSerial::refuseNested() {
    if (!ExchangeRunning())
        return false;
    tellExchangeRunning();
    return true;
}

// ---------------------------------------------------------------------------------------
// Opening and closing

int TFormSerial::iOpenPort() {
    // Closing and reopening underneath a waiting exchange would cut it off.
    if (refuseNested())
        return 1;
    LogWrite("Open serial port", 263, LogSizeLimit);
    if (ComPortNumber < 0) {
        DlgInternalError("Invalid COM port. Please run Setup.", __FILE__, 268);
        return 1;
    }
    m_opening = true;
    struct Opening {
        bool& flag;
        ~Opening() { flag = false; }
    } opening{m_opening};
    try {
        iClosePort();
        // A component whose device vanished under a session stays active until its event
        // thread sees the loss; it would refuse the new device name, or find the replugged
        // device "in use" by itself.
        if (SerialCom->Active())
            SerialCom->Close();
        m_replyTail = 0;
        std::string noPermissionDevice;
        const int answer = probe(ComPortNumber, noPermissionDevice);
        if (answer == 0) {
            QCoreApplication::processEvents();
            SerialCom->SetDeviceName("\\\\.\\COM" + std::to_string(ComPortNumber));
            SerialCom->SetCustomBaudRate(BaudRate);
            SerialCom->Open();
            QCoreApplication::processEvents();
            DelayMs(250);
            SerialCom->PurgeOutput();
            SerialCom->PurgeInput();
            PortOpen = true;
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
            if (SerialCom->Active())
                SerialCom->Close();
        } catch (...) {
        }
        PortOpen = false;
        DlgInternalError("Error opening port COM" + std::to_string(ComPortNumber), __FILE__, 312);
        return 1;
    }
}

int TFormSerial::iClosePort() {
    LogWrite(session_text::closeLine(PortOpen, ComPortNumber, BaudRate), 384, LogSizeLimit);
    if (ComPortNumber < 0) {
        DlgInternalError("Invalid COM port. Please run Options Setup.", __FILE__, 389);
        return 1;
    }
    if (PortOpen) {
        PortOpen = false;
        SerialCom->Close();
    }
    return 0;
}

int TFormSerial::probe(int n, std::string& noPermissionDevice) {
    noPermissionDevice.clear();
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
    const platform::PortTable table = platform::PortTable::current();
    const std::string path = table.devicePath(n);
    if (!path.empty()) {
        const platform::DeviceProbe p = platform::probeDevice(path, table);
        if (p.state == platform::DeviceState::NoPermission) {
            noPermissionDevice = p.resolvedPath.empty() ? path : p.resolvedPath;
            return 2;
        }
    }
    return error == win::ERROR_ACCESS_DENIED ? 1 : 2;
}

int TFormSerial::iProbePort(int n) {
    std::string ignored;
    return probe(n, ignored);
}

void TFormSerial::DelayMs(std::uint32_t Milliseconds) {
    DelayTimer->setEnabled(false);
    DelayTimer->setInterval(timerInterval(Milliseconds));
    DelayDone = false;
    DelayTimer->setEnabled(true);
    while (!DelayDone)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// ---------------------------------------------------------------------------------------
// Primitives

void TFormSerial::armSerialTimer(std::uint32_t delay) {
    SerialTimer->setEnabled(false);
    SerialTimer->setInterval(timerInterval(delay));
    Match.TimedOut = false;
    SerialTimer->setEnabled(true);
}

template <class Done> void TFormSerial::waitUntil(Done done) {
    // One event at a time: sleeps in the event loop while nothing is pending; receive
    // events and timer ticks wake it.
    while (!Match.TimedOut && !done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

int TFormSerial::iCaptureTo(const std::string& Command, char Termination, std::uint32_t Delay) {
    if (refuseNested())
        return 1;
    WaitScope scope(*this);
    LogWrite(session_text::captureStart(Termination, Command, Delay), 448, LogSizeLimit);
    Match.StartChar = 0;
    Match.EndChar = Termination;
    Match.StartArmed = false;
    Match.EndArmed = true;
    Match.Collecting = false;
    Match.Capturing = true;
    Match.StoreMode = 0;
    Match.StoreCount = 0;
    Match.Terminated = Match.StartSeen = Match.EndSeen = false;
    if (!Command.empty())
        iSendString(Command);
    armSerialTimer(Delay);
    waitUntil([this] { return Match.Terminated; });
    return Match.TimedOut ? 1 : 0;
}

int TFormSerial::iWaitForChar(const std::string& Command, char Char1, char Char2,
                              std::uint32_t Delay) {
    if (refuseNested())
        return -1;
    WaitScope scope(*this);
    LogWrite(session_text::waitForCharStart(Char1, Char2, Command, Delay), 517, LogSizeLimit);
    Match.StartChar = Char1;
    Match.EndChar = Char2;
    Match.StartArmed = true;
    Match.EndArmed = false;
    Match.Collecting = false;
    Match.Capturing = false;
    Match.StoreMode = 1;
    Match.StoreCount = 0;
    Match.Terminated = Match.StartSeen = Match.EndSeen = false;
    if (!Command.empty())
        iSendString(Command);
    LogWrite("Command sent", 541, LogSizeLimit);
    armSerialTimer(Delay);
    waitUntil([this] { return Match.StartSeen || Match.EndSeen; });
    LogWrite("Found", 556, LogSizeLimit);
    if (Match.TimedOut)
        return -1;
    return Match.StartSeen ? 1 : 2;
}

int TFormSerial::iWaitForStringNUntilTermination(const std::string& Command, char Termination,
                                                 std::uint32_t Delay, char* Buffer,
                                                 std::int32_t N) {
    if (N < 1 || Buffer == nullptr)
        throw std::invalid_argument(
            "iWaitForStringNUntilTermination needs a buffer and N of at least 1");
    if (refuseNested())
        return 1;
    WaitScope scope(*this);
    LogWrite(session_text::untilTerminationStart(Termination, Command, Delay), 593, LogSizeLimit);
    Match.StartChar = 0;
    Match.EndChar = Termination;
    Match.StartArmed = true;
    Match.EndArmed = true;
    Match.Collecting = true;
    Match.Capturing = false;
    Match.StoreMode = 2;
    Match.StoreCount = N;
    Match.StorePtr = Buffer;
    Match.Terminated = Match.StartSeen = Match.EndSeen = false;
    if (sessionUsable()) {
        SerialCom->PurgeInput();
        SerialCom->PurgeOutput();
    }
    if (!Command.empty())
        iSendString(Command);
    armSerialTimer(Delay);
    waitUntil([this] { return Match.Terminated; });
    return Match.TimedOut ? 1 : 0;
}

int TFormSerial::iWaitForStringNBetweenChars(const std::string& Command, char StartChar,
                                             char EndChar, std::uint32_t Delay, char* Buffer,
                                             std::int32_t N) {
    if (N < 1 || Buffer == nullptr)
        throw std::invalid_argument(
            "iWaitForStringNBetweenChars needs a buffer and N of at least 1");
    if (refuseNested())
        return 1;
    WaitScope scope(*this);
    LogWrite(session_text::betweenCharsStart(StartChar, EndChar, Command, Delay), 671,
             LogSizeLimit);
    // Nothing is stored before the start character, so an earlier reply's end is harmless
    // here, and a '>' after it belongs to this reply.
    m_replyTail = 0;
    Match.StartChar = StartChar;
    Match.EndChar = EndChar;
    Match.StartArmed = true;
    Match.EndArmed = true;
    Match.Collecting = false;
    Match.Capturing = false;
    Match.StoreMode = 3;
    Match.StoreCount = N;
    Match.StorePtr = Buffer;
    Match.Terminated = Match.StartSeen = Match.EndSeen = false;
    if (sessionUsable()) {
        SerialCom->PurgeInput();
        SerialCom->PurgeOutput();
    }
    if (!Command.empty())
        iSendString(Command);
    armSerialTimer(Delay);
    waitUntil([this] { return Match.StoreCount == 0; });
    // Done at the N-th character: the reply's end character may still be on the line, and
    // would otherwise answer the next exchange (a readiness check, or end a download at once).
    if (!Match.TimedOut && !Match.EndSeen && EndChar != 0) {
        m_replyTail = EndChar;
        m_replyTailSince = std::chrono::steady_clock::now();
    }
    return Match.TimedOut ? 1 : 0;
}

bool TFormSerial::sessionUsable() const {
    // A component that closed itself after its device vanished has been reported once
    // already; the session then sends nothing and waits out its delay.
    return PortOpen && SerialCom->Active();
}

int TFormSerial::iSendString(const std::string& Command) {
    if (!sessionUsable())
        return 1;
    for (char c : Command) {
        SerialCom->WriteChar(c);
        // The unit takes its commands one character at a time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

int TFormSerial::iSendChar(char Ch) {
    if (!sessionUsable())
        return 1;
    SerialCom->WriteChar(Ch);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Receive path

void TFormSerial::SerialComRxChar(QObject*) {
    if (!PortOpen)
        return;
    RxBuffer = SerialCom->ReadString();
    if (RxBuffer.empty())
        return;
    ScanReceived();
}

void TFormSerial::ScanReceived() {
    EchoToTerminal();
    Match.scan(withoutReplyTail(RxBuffer));
    if (Match.Capturing)
        WriteCapture();
}

std::string_view TFormSerial::withoutReplyTail(std::string_view chunk) {
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

void TFormSerial::EchoToTerminal() {
    if (FormXRQMain && FormXRQMain->TerminalVisible && FormTerminal)
        FormTerminal->EchoReceived(RxBuffer);
}

void TFormSerial::WriteCapture() {
    if (FormXRQMain) {
        if (FormXRQMain->CaptureFile)
            std::fwrite(RxBuffer.data(), 1, RxBuffer.size(), FormXRQMain->CaptureFile);
        if (FormXRQMain->EchoCapture && FormXRQMain->MemoMainEcho)
            FormXRQMain->MemoMainEcho->append(RxBuffer);
    }
    // Every chunk starts a new full period: the capture times out on silence only.
    SerialTimer->setEnabled(false);
    SerialTimer->setEnabled(true);
}
