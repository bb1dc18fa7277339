#pragma once
// The hidden serial session form: owns the port component, the session state, the two
// timers and the command/response primitives every exchange with the unit rests on.
// Everything here runs on the UI thread; the port's receive event is handed over to it.

#include "serial/primitive_scan.h"

#include <QWidget>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

class QComboBox;
class QLabel;
class TComPort;
namespace platform {
class AppTimer;
}
namespace win {
struct TMessage;
}

class TFormSerial : public QWidget {
    Q_OBJECT
public:
    explicit TFormSerial(QWidget* parent = nullptr);
    ~TFormSerial() override;

    // --- Session (read by the main window, the port list and the terminal) -------------
    bool PortOpen = false;
    int ComPortNumber = 0; // the n of COMn; -1 none
    int BaudRate = 0;
    bool DelayDone = false;

    TComPort* SerialCom = nullptr;
    platform::AppTimer* SerialTimer = nullptr;
    platform::AppTimer* DelayTimer = nullptr;
    QLabel* Label1 = nullptr;

    int iOpenPort();
    int iClosePort();
    int iProbePort(int n);
    void DelayMs(std::uint32_t Milliseconds);

    // --- Command/response primitives -----------------------------------------------------
    MatchState Match;
    std::string RxBuffer;

    int iCaptureTo(const std::string& Command, char Termination, std::uint32_t Delay);
    int iWaitForChar(const std::string& Command, char Char1, char Char2, std::uint32_t Delay);
    // Buffer must hold N + 1 bytes; N below 1 or no buffer is refused with
    // std::invalid_argument before anything is sent.
    int iWaitForStringNUntilTermination(const std::string& Command, char Termination,
                                        std::uint32_t Delay, char* Buffer, std::int32_t N);
    int iWaitForStringNBetweenChars(const std::string& Command, char StartChar, char EndChar,
                                    std::uint32_t Delay, char* Buffer, std::int32_t N);
    int iSendString(const std::string& Command);
    int iSendChar(char Ch);

    // True while a primitive waits or the port is being opened: the match state and the
    // port are taken, and a second exchange would spoil the running one. Callers that start
    // an exchange from a handler check this and call tellExchangeRunning() instead.
    bool ExchangeRunning() const { return m_waiting || m_opening; }
    // The quiet refusal: a note in the main window's status bar, no box.
    void tellExchangeRunning();

    // The program is ending: the waiting exchange ends now (its primitive returns its
    // time-out result), the port is closed, and every later exchange is refused at once.
    void StopExchanges();
    bool ExchangesStopped() const { return m_stopped; }
    // Bytes received while no exchange waited (read and dropped, shown only in the terminal).
    std::uint64_t BytesOutsideExchanges() const { return m_bytesOutside; }

    // --- Handlers --------------------------------------------------------------------------
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender);
    void DelayTimerTimer(QObject* Sender);
    void SerialTimerTimer(QObject* Sender);
    void SerialComRxChar(QObject* Sender);

    // COM port list and hot-plug (fSerial_ports.cpp). UI thread.
    void ListComPorts(QComboBox* Combo);
    int iRefreshComPorts(QComboBox* Combo);
    void UseSelectedComPort(QComboBox* Combo, std::string& DeviceText);
    void WMDeviceChange(win::TMessage& Message);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class WaitScope;
    void ScanReceived();
    // The chunk as the match should see it: the end of an earlier reply dropped.
    std::string_view withoutReplyTail(std::string_view chunk);
    void EchoToTerminal();
    void WriteCapture();
    void armSerialTimer(std::uint32_t delay);
    template <class Done> void waitUntil(Done done);
    bool refuseNested();
    bool sessionUsable() const;
    // Probe with the reason kept for the open message (EACCES gets a hint of its own).
    int probe(int n, std::string& noPermissionDevice);

    bool m_waiting = false;
    bool m_opening = false;
    bool m_stopped = false;
    std::uint64_t m_bytesOutside = 0;
    // End character of a reply whose wait ended before it arrived (0: none), and since when.
    char m_replyTail = 0;
    std::chrono::steady_clock::time_point m_replyTailSince;
};

extern TFormSerial* FormSerial;
