// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The hidden serial session form: owns the program's one serial session (session/, which
// knows no window) and gives it the Parts' names: its state and primitives, the port list
// in the windows' combo boxes and the capture into the main window's capture file. What the
// session receives reaches the windows only through the sinks its owner hands in
// (SetWindowSinks). UI thread only.

#include "session/serial_session.h"

#include <QWidget>

#include <cstdint>
#include <string>

class QComboBox;
class QLabel;

class TFormSerial : public QWidget {
    Q_OBJECT
public:
    explicit TFormSerial(QWidget* parent = nullptr);
    ~TFormSerial() override;

    // The session itself; everything below is its state and its calls under the Parts' names.
    session::SerialSession Session;

    // --- Session (read by the main window, the port list and the terminal) -------------
    bool& PortOpen = Session.PortOpen;
    int& ComPortNumber = Session.ComPortNumber; // the n of COMn; -1 none
    int& BaudRate = Session.BaudRate;
    bool& DelayDone = Session.DelayDone;

    TComPort*& SerialCom = Session.SerialCom;
    platform::AppTimer*& SerialTimer = Session.SerialTimer;
    platform::AppTimer*& DelayTimer = Session.DelayTimer;
    QLabel* Label1 = nullptr;

    int iOpenPort() { return Session.iOpenPort(); }
    int iClosePort() { return Session.iClosePort(); }
    int iProbePort(int n) { return Session.iProbePort(n); }
    void DelayMs(std::uint32_t Milliseconds) { Session.DelayMs(Milliseconds); }

    // --- Command/response primitives -----------------------------------------------------
    MatchState& Match = Session.Match;
    std::string& RxBuffer = Session.RxBuffer;

    // The main window's part of what the session receives, handed in by the program's start
    // while the main window lives (serial/ knows no window above it): where iCaptureTo writes
    // (its capture file and the echo of it), and where every received chunk is echoed (the
    // terminal while shown). Null: nowhere.
    void SetWindowSinks(session::ByteSink* capture, session::ByteSink* echo) {
        m_windowCapture = capture;
        Session.ReceivedEcho = echo;
    }
    session::ByteSink* WindowCapture() const { return m_windowCapture; }

    // Into WindowCapture.
    int iCaptureTo(const std::string& Command, char Termination, std::uint32_t Delay) {
        return Session.iCaptureTo(Command, Termination, Delay, m_windowCapture);
    }
    int iWaitForChar(const std::string& Command, char Char1, char Char2, std::uint32_t Delay) {
        return Session.iWaitForChar(Command, Char1, Char2, Delay);
    }
    int iWaitForStringNUntilTermination(const std::string& Command, char Termination,
                                        std::uint32_t Delay, char* Buffer, std::int32_t N) {
        return Session.iWaitForStringNUntilTermination(Command, Termination, Delay, Buffer, N);
    }
    int iWaitForStringNBetweenChars(const std::string& Command, char StartChar, char EndChar,
                                    std::uint32_t Delay, char* Buffer, std::int32_t N) {
        return Session.iWaitForStringNBetweenChars(Command, StartChar, EndChar, Delay, Buffer, N);
    }
    int iSendString(const std::string& Command) { return Session.iSendString(Command); }
    int iSendChar(char Ch) { return Session.iSendChar(Ch); }

    bool ExchangeRunning() const { return Session.ExchangeRunning(); }
    void tellExchangeRunning() { Session.tellExchangeRunning(); }
    void StopExchanges() { Session.StopExchanges(); }
    bool ExchangesStopped() const { return Session.ExchangesStopped(); }
    void StopExchange() { Session.StopExchange(); }
    // Into WindowCapture, as the capture wrote.
    int iFinishStoppedCapture(char Termination, std::uint32_t Delay) {
        return Session.iFinishStoppedCapture(Termination, Delay, m_windowCapture);
    }
    void AwaitReplyTail() { Session.AwaitReplyTail(); }
    LineErrorCounts CaptureLineErrors() const { return Session.CaptureLineErrors(); }
    const std::string& TextBeforeAwaitedChar() const { return Session.TextBeforeAwaitedChar(); }
    std::uint64_t BytesOutsideExchanges() const { return Session.BytesOutsideExchanges(); }
    std::uint64_t BytesReceived() const { return Session.BytesReceived(); }

    // --- A unit still sending (see session::SerialSession::EarlierSending) ---------------
    using EarlierSending = session::SerialSession::EarlierSending;
    EarlierSending& OnEarlierSending = Session.OnEarlierSending;
    static constexpr std::uint32_t EarlierQuietMs = session::SerialSession::EarlierQuietMs;
    std::uint32_t& EarlierLimitMs = Session.EarlierLimitMs;
    bool MayBeSending() const { return Session.MayBeSending(); }

    // --- Handlers --------------------------------------------------------------------------
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender);

    // COM port list and hot-plug (fSerial_ports.cpp). UI thread.
    void ListComPorts(QComboBox* Combo);
    int iRefreshComPorts(QComboBox* Combo);
    void UseSelectedComPort(QComboBox* Combo, std::string& DeviceText);
    void WMDeviceChange(win::TMessage& Message) { Session.WMDeviceChange(Message); }

    using WaitEnd = session::SerialSession::WaitEnd;
    WaitEnd LastWaitEnd() const { return Session.LastWaitEnd(); }
    bool LostDevice() const { return Session.LostDevice(); }

signals:
    // The session's own, passed on (see session::SerialSession).
    void exchangeRefused(const QString& note);
    void portVanished(int portNumber);
    void sessionChanged();
    void exchangeStateChanged();
    void portsChanged();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    session::ByteSink* m_windowCapture = nullptr;
};

extern TFormSerial* FormSerial;
