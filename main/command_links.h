// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command set's two seams bound to the program's windows: the session is the hidden
// serial form, the view is the main window with its actions, labels, cursor and status bar,
// and the operator is spoken to through the message boxes. UI thread only.

#include "unit/instrument_commands.h"

class TFormSerial;
class TFormXRQMain;

class FormSerialSession : public UnitSession {
public:
    explicit FormSerialSession(TFormSerial& form) : m_form(form) {}
    bool sessionOpen() const override;
    bool exchangeRunning() const override;
    int openPort() override;
    int waitForChar(const std::string& command, char char1, char char2,
                    std::uint32_t delay) override;
    int waitForStringNUntilTermination(const std::string& command, char termination,
                                       std::uint32_t delay, char* buffer, std::int32_t n) override;
    int waitForStringNBetweenChars(const std::string& command, char startChar, char endChar,
                                   std::uint32_t delay, char* buffer, std::int32_t n) override;
    int sendString(const std::string& command) override;
    int portNumber() const override;
    std::string deviceName() const override;

private:
    TFormSerial& m_form;
};

class MainWindowView : public CommandView {
public:
    MainWindowView(TFormXRQMain& window, TFormSerial& session)
        : m_window(window), m_session(session) {}
    void setHourglass(bool on) override;
    void enableUnitActions() override;
    void setBatteryCaptions(const std::string& volts, const std::string& temp) override;
    void batteryRead(const BatteryReading& reading) override;
    void setSerialNumber(const std::string& serial) override;
    void tellExchangeRunning() override;
    void error(const std::string& message) override;
    void info(const std::string& message) override;
    void warning(const std::string& message) override;
    bool confirm(const std::string& message, bool defaultYes) override;
    void unitChanged() override;
    void log(const std::string& line) override;
    // Asks the organisation's server, at most 2 s, while the records are shared.
    std::string otherLaptopsNote(const std::string& serial) override;

private:
    TFormXRQMain& m_window;
    TFormSerial& m_session;
};

// The device COM port n stands for, as the system resolves it ("/dev/ttyUSB0" rather than
// the port folder's link); empty when n stands for nothing.
std::string comPortDevice(int n);

// Reads the serial number of the unit on the cable afresh for `window` (its record and
// identity follow); empty when the unit gave none.
std::optional<std::string> identifyUnitOnCable(TFormXRQMain& window);

// xrq-collect --clear: the command set's clear after a safe download of `downloaded`.
InstrumentCommands::UnattendedClear clearAfterDownload(TFormXRQMain& window,
                                                       const std::string& downloaded);

// Runs one operation of the command set against FormSerial for `window`.
void runInstrumentCommand(TFormXRQMain& window, void (InstrumentCommands::*operation)());
