// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The unit register as the command set's recorder: each event is stamped with the time it
// happened and handed to the register's thread. UI thread.

#include "unit/unit_recorder.h"

class RegisterWriter;

class RegisterRecorder : public UnitRecorder {
public:
    explicit RegisterRecorder(RegisterWriter& writer) : m_writer(writer) {}
    void visited(const std::string& serial, int port, const std::string& device) override;
    void clockSet(const std::string& serial, const std::string& sent) override;
    void batteryRead(const std::string& serial, double volts, double celsius,
                     const std::string& reply) override;
    void cleared(const std::string& serial, bool confirmed) override;
    void identified(const std::string& serial, int port) override;

private:
    RegisterWriter& m_writer;
};

// The recorder over the program's register (unitRegister()).
UnitRecorder& unitRegisterRecorder();
