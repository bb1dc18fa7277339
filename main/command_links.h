// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command set's view bound to the program's windows: the main window with its actions,
// labels, cursor and status bar, the boxes standing over it. The session is the main
// window's service's (app/unit_service.h). UI thread only.

#include "app/unit_service.h"
#include "unit/instrument_commands.h"

class TFormSerial;
class TFormXRQMain;

class MainWindowView : public ServiceView {
public:
    MainWindowView(TFormXRQMain& window, TFormSerial& session);
    void setHourglass(bool on) override;
    void enableUnitActions() override;
    void setBatteryCaptions(const std::string& volts, const std::string& temp) override;
    void error(const std::string& message) override;
    void info(const std::string& message) override;
    void warning(const std::string& message) override;
    bool confirm(const std::string& message, bool defaultYes) override;
    void unitChanged() override;

private:
    TFormXRQMain& m_window;
};

// Reads the serial number of the unit on the cable afresh for `window` (its record and
// identity follow); empty when the unit gave none.
std::optional<std::string> identifyUnitOnCable(TFormXRQMain& window);

// Runs one operation of the command set against FormSerial for `window`.
void runInstrumentCommand(TFormXRQMain& window, void (InstrumentCommands::*operation)());
