// SPDX-License-Identifier: GPL-3.0-or-later
#include "register/register_recorder.h"

#include "register/register_writer.h"

#include <QDateTime>
#include <QTimeZone>

void RegisterRecorder::visited(const std::string& serial, int port, const std::string& device) {
    unitreg::Visit visit;
    visit.serial = serial;
    visit.at = unitreg::nowMs();
    visit.port = port;
    visit.device = device;
    m_writer.recordVisit(visit);
}

void RegisterRecorder::clockSet(const std::string& serial, const std::string& sent) {
    unitreg::ClockSet set;
    set.serial = serial;
    set.at = unitreg::nowMs();
    set.sent = sent;
    // The offset and zone of the computer's local time that the text was written in, now.
    set.utcOffsetSeconds = QDateTime::currentDateTime().offsetFromUtc();
    set.timeZone = QTimeZone::systemTimeZoneId().toStdString();
    m_writer.recordClockSet(set);
}

void RegisterRecorder::batteryRead(const std::string& serial, double volts, double celsius,
                                   const std::string& reply) {
    unitreg::BatteryReading reading;
    reading.serial = serial;
    reading.at = unitreg::nowMs();
    reading.volts = volts;
    reading.celsius = celsius;
    reading.reply = reply;
    m_writer.recordBattery(reading);
}

void RegisterRecorder::cleared(const std::string& serial, bool confirmed) {
    unitreg::Clear clear;
    clear.serial = serial;
    clear.at = unitreg::nowMs();
    clear.confirmed = confirmed;
    m_writer.recordClear(clear);
}

void RegisterRecorder::identified(const std::string& serial, int port) {
    m_writer.unitIdentified(serial, port);
}

UnitRecorder& unitRegisterRecorder() {
    static RegisterRecorder recorder(unitRegister());
    return recorder;
}
