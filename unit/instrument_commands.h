// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The short exchanges the main window runs against the unit: connect (with the serial-number
// request), set clock, battery and temperature, clear memory. The logic talks to the serial
// session and to the window through the two small interfaces below, so that it runs in
// tests without a window or a port. UI thread only.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "unit/unit_recorder.h"
#include "unit/unit_status.h"
#include "unit/unit_texts.h" // the captions' rounding and the clock text, for the callers

struct BatteryReading;

// The serial session as the command set uses it (the hidden serial form in the program).
class UnitSession {
public:
    virtual ~UnitSession() = default;
    virtual bool sessionOpen() const = 0;
    // An exchange is waiting for its answer; starting another would spoil it.
    virtual bool exchangeRunning() const = 0;
    virtual int openPort() = 0;
    virtual int waitForChar(const std::string& command, char char1, char char2,
                            std::uint32_t delay) = 0;
    virtual int waitForStringNUntilTermination(const std::string& command, char termination,
                                               std::uint32_t delay, char* buffer,
                                               std::int32_t n) = 0;
    virtual int waitForStringNBetweenChars(const std::string& command, char startChar, char endChar,
                                           std::uint32_t delay, char* buffer, std::int32_t n) = 0;
    virtual int sendString(const std::string& command) = 0;
    // The session's COM number and its device path (empty when unknown).
    virtual int portNumber() const { return -1; }
    virtual std::string deviceName() const { return {}; }
};

// What the command set changes on the main window and how it speaks to the operator.
class CommandView {
public:
    virtual ~CommandView() = default;
    virtual void setHourglass(bool on) = 0;
    virtual void enableUnitActions() = 0;
    virtual void setBatteryCaptions(const std::string& volts, const std::string& temp) = 0;
    // The reading as the unit sent it, before the captions round it.
    virtual void batteryRead(const BatteryReading& /*reading*/) {}
    virtual void setSerialNumber(const std::string& serial) = 0;
    // Quiet refusal while an exchange waits (a status bar note, no box).
    virtual void tellExchangeRunning() = 0;
    virtual void error(const std::string& message) = 0;
    virtual void info(const std::string& message) = 0;
    // An outcome that is neither success nor failure; shown as an error where the view has
    // no notice of its own.
    virtual void warning(const std::string& message) { error(message); }
    virtual bool confirm(const std::string& message, bool defaultYes) = 0;
    // The unit record changed (a unit connected or was named): the identity is shown anew.
    virtual void unitChanged() {}
    // A line for the run log (what the boxes do not say).
    virtual void log(const std::string& /*line*/) {}
    // Before a clearing's extra question about `serial`: what other laptops know of the
    // unit's downloads (a download another laptop made since this one's), or why they were
    // not checked; empty when there is nothing to add. May take a bounded while (the view
    // asks a server).
    virtual std::string otherLaptopsNote(const std::string& /*serial*/) { return {}; }
};

class InstrumentCommands {
public:
    InstrumentCommands(UnitSession& session, CommandView& view);

    // The local time source; tests fix it.
    std::function<std::string()> clockText;
    // Which units were connected and downloaded; without it a clearing asks only the usual
    // questions.
    unit_status::UnitRecord* units = nullptr;
    // Where visits, clock sets, battery readings and clearings are recorded; none without it.
    UnitRecorder* recorder = nullptr;

    void connect();
    bool requestSerialNumber();
    void setClock();
    void checkBattery();
    void clearMemory();
    // Reads the serial number afresh ("R"): the unit on the cable now need not be the one that
    // was connected (a cable moved while the port stayed open). A different answer replaces
    // the identity. Empty when the unit gave none; nothing is shown then, only logged.
    std::optional<std::string> identifyUnit();

    // Clears the memory right after a safe download, asking nothing (xrq-collect --clear):
    // the serial number is read afresh and the clear sent only when it is `downloaded`, at
    // once, with no other exchange between. The clear is recorded as the window's is.
    struct UnattendedClear {
        bool sent = false;                       // "Y" went out (the memory may be cleared)
        bool cleared = false;                    // the unit's prompt followed "Y"
        std::string why;                         // when not cleared
        std::int64_t startedMs = 0, endedMs = 0; // "R" sent; the answer to "Y" (UTC)
    };
    UnattendedClear clearAfterDownload(const std::string& downloaded);

private:
    bool refuseWhileBusy();
    // Before a clearing: the unit named (its serial number read afresh) and, when it was not
    // downloaded since it was connected or could not be named, the operator asked.
    bool clearingAgreed();
    // Adds what other laptops know (the view's otherLaptopsNote) to a clearing's question.
    void addOtherLaptopsNote(std::string& question, const std::string& serial);
    // The unit known on the session's port (empty when none), for the unit register.
    std::string currentSerial() const;
    // Whether the serial-number read just made got no answer: what happens next is not put
    // under the unit known before.
    bool m_lastReadFailed = false;

    UnitSession& m_session;
    CommandView& m_view;
    std::string m_serial; // as the last serial-number request read it
};

struct BatteryReading {
    double volts = 0;
    double celsius = 0;
};

// Reads the two numbers that follow the first and the next ':' of a NUL-terminated reply,
// each as "%lf" reads it in the C locale. Empty when a ':' or a number is missing, or a
// number is not finite.
std::optional<BatteryReading> parseBatteryReply(const char* reply);
// The same over bytes that may hold NULs (line noise before or around the reply).
std::optional<BatteryReading> parseBatteryReply(std::string_view reply);
