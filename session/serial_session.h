// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The serial session without a window: owns the port component, the session state, the two
// timers and the command/response primitives every exchange with the unit rests on. What it
// receives goes where its user says: a capture into the sink the caller passes, every chunk
// to the echo it is handed (the terminal's); it reads no window. Qt Core only.
// Everything here runs on the UI thread (the thread of the event loop); the port's receive
// event is handed over to it.

#include "comport/comport_types.h"
#include "session/byte_sink.h"
#include "session/line_errors.h"
#include "session/primitive_scan.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class TComPort;
class TCustomComPort;
class EComError;
enum TComAction : std::uint8_t;
namespace platform {
class AppTimer;
class HotplugWatcher;
} // namespace platform
namespace win {
struct TMessage;
}

namespace session {

class SerialSession : public QObject {
    Q_OBJECT
public:
    explicit SerialSession(QObject* parent = nullptr);
    ~SerialSession() override;

    // --- Session -------------------------------------------------------------------------
    bool PortOpen = false;
    int ComPortNumber = 0; // the n of COMn; -1 none
    int BaudRate = 0;
    bool DelayDone = false;

    TComPort* SerialCom = nullptr;
    platform::AppTimer* SerialTimer = nullptr;
    platform::AppTimer* DelayTimer = nullptr;

    int iOpenPort();
    int iClosePort();
    int iProbePort(int n);
    void DelayMs(std::uint32_t Milliseconds);
    // The session moves to COM n (sessionChanged when that is another number).
    void UseComPort(int n);
    // The timers stop (the hidden form's close).
    void StopTimers();

    // --- Command/response primitives -----------------------------------------------------
    MatchState Match;
    std::string RxBuffer;

    // The unit's answer to Command until Termination (or Delay ms of silence), every chunk
    // written to `sink` as it comes (null: read and dropped). The first chunk the sink cannot
    // take ends the capture at once.
    int iCaptureTo(const std::string& Command, char Termination, std::uint32_t Delay,
                   ByteSink* sink);
    int iWaitForChar(const std::string& Command, char Char1, char Char2, std::uint32_t Delay);
    // Buffer must hold N + 1 bytes; N below 1 or no buffer is refused with
    // std::invalid_argument before anything is sent.
    int iWaitForStringNUntilTermination(const std::string& Command, char Termination,
                                        std::uint32_t Delay, char* Buffer, std::int32_t N);
    int iWaitForStringNBetweenChars(const std::string& Command, char StartChar, char EndChar,
                                    std::uint32_t Delay, char* Buffer, std::int32_t N);
    int iSendString(const std::string& Command);
    int iSendChar(char Ch);

    // Every chunk read from the port, in or outside exchanges, before an exchange looks at
    // it: the terminal's echo. Null: none. Its answer is not asked.
    ByteSink* ReceivedEcho = nullptr;

    // True while a primitive waits or the port is being opened: the match state and the
    // port are taken, and a second exchange would spoil the running one. Callers that start
    // an exchange from a handler check this and call tellExchangeRunning() instead.
    bool ExchangeRunning() const { return m_waiting || m_opening; }
    // The quiet refusal: a run-log line and exchangeRefused (the main window shows the note
    // in its status bar), no box.
    void tellExchangeRunning();

    // The program is ending: the waiting exchange ends now (its primitive returns its
    // time-out result), the port is closed, and every later exchange is refused at once.
    void StopExchanges();
    bool ExchangesStopped() const { return m_stopped; }
    // The operator's Stop: the waiting exchange ends now (its primitive returns its time-out
    // result, LastWaitEnd() says Stopped) and the port's queues are purged. Later exchanges
    // run as usual. Nothing happens when no exchange waits.
    void StopExchange();
    // After the operator's Stop of iCaptureTo the unit goes on sending the download it was
    // asked for. This waits, sending nothing, until its termination character arrives or the
    // line has been silent for Delay ms, writing what arrives to `sink` as the capture did,
    // so that none of it is taken for the next exchange's answer. 0 when the termination
    // character came; 1 on silence, a gone device or the program's end.
    int iFinishStoppedCapture(char Termination, std::uint32_t Delay, ByteSink* sink);
    // A serial number is complete at its eighth character, before the unit's prompt: this
    // waits (at most about a second) until that prompt has come and gone, so that a capture
    // started next does not write it into its file as the first byte of the download.
    void AwaitReplyTail();
    // The line errors the device reported since the last iCaptureTo began (its stopped
    // download's end included); `checked` false when the device counts none (a pty).
    LineErrorCounts CaptureLineErrors() const;
    // What the unit put before the awaited character on its line, in the last iWaitForChar
    // that saw it (at most 256 bytes; empty when that wait did not see it): the text a unit
    // prints before its prompt, which its later prompts carry too.
    const std::string& TextBeforeAwaitedChar() const { return m_textBeforeAwaited; }
    // Bytes received while no exchange waited (read and dropped, shown only in the terminal).
    std::uint64_t BytesOutsideExchanges() const { return m_bytesOutside; }
    // Every byte read from the port since the program started, in or outside exchanges.
    std::uint64_t BytesReceived() const { return m_bytesReceived; }

    // --- A unit still sending ------------------------------------------------------------
    // The unit may still be sending something earlier (a download whose program was killed,
    // or whose cable was pulled) when the session comes to it: bytes arrive while no exchange
    // waits (from the port's opening pause on), or an exchange gets bytes but no answer. Those
    // bytes answer nothing, and taken for the next reply they would spoil it. So an exchange
    // that has a command to send, while such bytes came within the last EarlierQuietMs, first
    // reads what comes until the line has been quiet for EarlierQuietMs (for at most
    // EarlierLimitMs), handing it over here, and only then sends. A quiet line costs nothing.
    // Unset hooks: the bytes are read and dropped.
    struct EarlierSending {
        std::function<void()> began;                    // its first bytes came
        std::function<void(std::string_view)> received; // each chunk, as it came
        std::function<void(std::uint64_t, bool)> ended; // all that came; cut off by the limit
    };
    EarlierSending OnEarlierSending;
    static constexpr std::uint32_t EarlierQuietMs = 1000;
    std::uint32_t EarlierLimitMs = 15 * 60 * 1000;
    // The next exchange with a command listens first.
    bool MayBeSending() const;

    // --- Handlers --------------------------------------------------------------------------
    // The component closed itself: its device went (its event wait failed). Our own closes
    // do not count.
    void SerialComAfterClose(TCustomComPort* Sender);
    // A failure of the component while the session uses the port. Access denied on an open
    // port means its device went: that is told once, by the removal messages, not as a box
    // per failing call.
    void SerialComError(TCustomComPort* Sender, EComError& E, TComAction& Action);
    void DelayTimerTimer(QObject* Sender);
    void SerialTimerTimer(QObject* Sender);
    void SerialComRxChar(QObject* Sender);
    // Assigned only while a capture runs. The port's event thread or the UI thread.
    void SerialComLineError(QObject* Sender, TLineErrors Errors);
    // A COM port arrived or left (the hot-plug watcher's device-change message): the
    // operator is told, and a session on the port that left closes it. UI thread.
    void WMDeviceChange(win::TMessage& Message);

    // How the last primitive's wait ended: its reply came, it timed out, or the session's
    // device went during it (both of the latter give the time-out result).
    enum class WaitEnd { Answered, TimedOut, LineGone, Stopped };
    WaitEnd LastWaitEnd() const { return m_lastWaitEnd; }

    // The session lost its port when the device went, and the operator has not closed or
    // reopened it since: the next exchange opens the port anew.
    bool LostDevice() const { return m_lostDevice; }

signals:
    // An exchange was refused because another one runs; `note` says so for the operator.
    void exchangeRefused(const QString& note);
    // The session's port closed itself for a vanished device (port number); the hot-plug
    // watcher rescans on it.
    void portVanished(int portNumber);
    // The port was opened or closed, or the session moved to another COM number.
    void sessionChanged();
    // An exchange began or ended (ExchangeRunning() says which).
    void exchangeStateChanged();
    // A COM port arrived or left (after the device-change message has been handled): lists
    // on screen are made again.
    void portsChanged();

private:
    class WaitScope;
    struct Exchange;
    // The one course of all four primitives; true when it timed out (or the line went).
    bool runExchange(const Exchange& x, const std::string& Command, std::uint32_t Delay);
    // runExchange with the component's line errors counted meanwhile.
    bool runCapture(const Exchange& x, const std::string& Command, std::uint32_t Delay);
    void noteLineErrorsCounted();
    LineErrorTally m_captureLineErrors;
    std::atomic<bool> m_lineErrorsCounted{false};
    // Reads what a unit still sending sends until the line is quiet (see OnEarlierSending).
    void awaitEarlierSending();
    void takeEarlierSending();
    void deviceVanished();
    // Runs a component call; a vanished device makes it a no-op (false) instead of an error.
    template <class F> bool onLine(F call);
    void ScanReceived();
    // The chunk as the match should see it: the end of an earlier reply dropped.
    std::string_view withoutReplyTail(std::string_view chunk);
    void WriteCapture();
    void armSerialTimer(std::uint32_t delay);
    template <class Done> void waitUntil(Done done);
    bool refuseNested();
    bool sessionUsable() const;
    // Probe with the reason kept for the open message (EACCES gets a hint of its own).
    int probe(int n, std::string& noPermissionDevice);

    ByteSink* m_captureSink = nullptr; // the running capture's
    bool m_waiting = false;
    bool m_opening = false;
    bool m_ownClose = false;         // a close of ours is under way
    bool m_lostDevice = false;       // see LostDevice()
    bool m_lineWentAway = false;     // the device went during the current wait
    bool m_goneWhileOpening = false; // the device went during the current open
    WaitEnd m_lastWaitEnd = WaitEnd::Answered;
    bool m_stopped = false;
    bool m_stopRequested = false; // the operator's Stop, for the current wait only
    std::uint64_t m_bytesOutside = 0;
    std::uint64_t m_bytesReceived = 0;
    // See OnEarlierSending: when bytes that answered nothing last came.
    std::optional<std::chrono::steady_clock::time_point> m_lastUnanswered;
    std::chrono::steady_clock::time_point m_lastArrival;
    std::uint64_t m_bytesInExchange = 0;
    bool m_listening = false; // awaitEarlierSending is reading
    bool m_listenCutOff = false;
    std::uint64_t m_listenBytes = 0;
    // End character of a reply whose wait ended before it arrived (0: none), and since when.
    char m_replyTail = 0;
    std::chrono::steady_clock::time_point m_replyTailSince;
    // See TextBeforeAwaitedChar: the line so far while an iWaitForChar waits, and the last.
    std::string m_awaitedLine;
    std::string m_textBeforeAwaited;
    void noteAwaitedLine(std::string_view chunk);
};

// Delivers the device-change messages for the port table in force to the WMDeviceChange of
// the session `session` gives at the time (none: the message is dropped), and its
// portsChanged after each. One watcher for the run, owned by `owner`; a second call re-aims
// it at the table now in force. UI thread.
platform::HotplugWatcher* startPortWatch(QObject* owner, std::function<SerialSession*()> session);

} // namespace session
