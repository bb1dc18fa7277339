// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the command set tells the unit register, the third interface of InstrumentCommands
// beside the session and the view: tests watch it, the program hands it the register
// (register/register_recorder.h). Each call is made on the UI thread at the moment the event
// happens. `serial` is the unit that the serial-number read just before the event named;
// empty when that read got no answer, so that an event is never put under an earlier unit.

#include <string>

class UnitRecorder {
public:
    virtual ~UnitRecorder() = default;
    // A Connect the unit answered, on this port.
    virtual void visited(const std::string& serial, int port, const std::string& device) = 0;
    virtual void clockSet(const std::string& serial, const std::string& sent) = 0;
    // The reading as the unit sent it (`reply`) and the two figures read from it.
    virtual void batteryRead(const std::string& serial, double volts, double celsius,
                             const std::string& reply) = 0;
    // The unit was told to clear its memory; `confirmed` when it answered the last step.
    virtual void cleared(const std::string& serial, bool confirmed) = 0;
    // A serial-number read named the unit on this port (a Connect, or the fresh read before a
    // clearing or a download).
    virtual void identified(const std::string& serial, int port) = 0;
};
