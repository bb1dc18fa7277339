// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The activity indicator: shows one signal of a serial port as the background colour of a
// widget. It takes over the port's handler for the watched event (and AfterOpen/AfterClose),
// calls the handler that was there before, and gives the handlers back when it lets go of
// the port. Momentary signals (a received byte, a write, a break, ...) stay on for Delay ms
// after their last occurrence.
//
// UI thread only: the colour change and the timer need it, so the watched port must
// synchronise its events (the default).

#include "comport/Comport.h"
#include "platform/app_timer.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <string>

// A colour as four bytes: red in the low byte, then green, then blue.
using TColor = std::uint32_t;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clLime = 0x00FF00;

enum TSignal : std::uint8_t {
    siNone,
    siBreak,
    siRxChar,
    siTxChar,
    siCTS,
    siDSR,
    siEvent1,
    siEvent2,
    siLineError,
    siPrinterError,
    siRing,
    siRLSD,
    siRx80PercFull,
    siRxFlag,
    siTxEmpty
};

class TComSignal : public QObject {
public:
    explicit TComSignal(QObject* AOwner = nullptr);
    ~TComSignal() override;
    TComSignal(const TComSignal&) = delete;
    TComSignal& operator=(const TComSignal&) = delete;

    // Loading: between BeginLoading and Loaded the indicator records its properties but does
    // not hook the port. Design mode never hooks.
    void BeginLoading() { m_loading = true; }
    void Loaded();
    bool Loading() const { return m_loading; }
    bool Designing() const { return m_designing; }
    void SetDesigning(bool value) { m_designing = value; }

    std::string GetAbout() const;
    void SetAbout(const std::string&) {}

    TColor ColorOff() const { return m_colorOff; }
    void SetColorOff(TColor value);
    // Takes effect at the next change of the signal.
    TColor ColorOn() const { return m_colorOn; }
    void SetColorOn(TColor value) { m_colorOn = value; }

    TCustomComPort* ComPort() const { return m_comPort; }
    void SetComPort(TCustomComPort* value);
    QWidget* Control() const { return m_control; }
    void SetControl(QWidget* value);
    std::int32_t Delay() const { return m_delay; }
    void SetDelay(std::int32_t value);
    TSignal Signal() const { return m_signal; }
    // While hooked, gives the old event's handler back and takes over the new one.
    void SetSignal(TSignal value);
    bool SignalValue() const { return m_signalValue; }

    // Called with the indicator after each change of SignalValue.
    TNotifyEvent OnSignal;

    // True while the indicator holds the port's handlers.
    bool Hooked() const { return m_hooked; }

    // The timer that switches momentary signals off (for tests to look at).
    const platform::AppTimer* Timer() const { return m_timer; }

    void RetrieveEvents();
    void RestoreEvents();
    void UpdateSignalValue();
    void SetSignalValue(bool value);
    void UpdateColor();
    void StartTimer();

    // Handlers installed on the port.
    void AfterOpen(TCustomComPort* Sender);
    void AfterClose(TCustomComPort* Sender);
    void OnNotifySignal(QObject* Sender);
    void OnModemSignal(QObject* Sender);
    void OnLineError(QObject* Sender, TLineErrors Errors);
    void BeforeWrite(QObject* Sender, const void* Buffer, std::int32_t Count,
                     bool WaitOnCompletion);
    void AfterWrite(QObject* Sender, const void* Buffer, std::int32_t Count, bool WaitOnCompletion);
    void OnTimer();

private:
    void portDestroyed();
    void controlDestroyed();

    TColor m_colorOff = clGreen;
    TColor m_colorOn = clLime;
    TCustomComPort* m_comPort = nullptr;
    QPointer<QWidget> m_control;
    std::int32_t m_delay = 100;
    TSignal m_signal = siNone;
    bool m_signalValue = false;
    platform::AppTimer* m_timer = nullptr;
    bool m_writing = false;
    bool m_loading = false;
    bool m_designing = false;
    bool m_hooked = false;

    TOpenCloseEvent SavedAfterClose;
    TOpenCloseEvent SavedAfterOpen;
    TReadWriteEvent SavedAfterWrite;
    TReadWriteEvent SavedBeforeWrite;
    TNotifyEvent SavedNotify;
    TLineErrorEvent SavedLineError;
    TNotifyEvent SavedModemSignal;

    QMetaObject::Connection m_portWatch;
    QMetaObject::Connection m_controlWatch;
};
