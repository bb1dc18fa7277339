// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/Comsignal.h"

#include <QColor>
#include <QPalette>

namespace {

using NotifyGetter = const TNotifyEvent& (TCustomComPort::*)() const;
using NotifySetter = void (TCustomComPort::*)(const TNotifyEvent&);

// The port's slot for a signal that is delivered as a plain notify event.
struct NotifySlot {
    NotifyGetter get = nullptr;
    NotifySetter set = nullptr;
    bool modemLine = false; // handled by OnModemSignal (follows the line), else momentary
};

NotifySlot notifySlot(TSignal signal) {
    switch (signal) {
    case siBreak:
        return {&TCustomComPort::OnBreak, &TCustomComPort::SetOnBreak, false};
    case siRxChar:
        return {&TCustomComPort::OnRxChar, &TCustomComPort::SetOnRxChar, false};
    case siCTS:
        return {&TCustomComPort::OnCTSChange, &TCustomComPort::SetOnCTSChange, true};
    case siDSR:
        return {&TCustomComPort::OnDSRChange, &TCustomComPort::SetOnDSRChange, true};
    case siEvent1:
        return {&TCustomComPort::OnEvent1, &TCustomComPort::SetOnEvent1, false};
    case siEvent2:
        return {&TCustomComPort::OnEvent2, &TCustomComPort::SetOnEvent2, false};
    case siPrinterError:
        return {&TCustomComPort::OnPrinterError, &TCustomComPort::SetOnPrinterError, false};
    case siRing:
        return {&TCustomComPort::OnRing, &TCustomComPort::SetOnRing, true};
    case siRLSD:
        return {&TCustomComPort::OnRLSDChange, &TCustomComPort::SetOnRLSDChange, true};
    case siRx80PercFull:
        return {&TCustomComPort::OnRx80PercFull, &TCustomComPort::SetOnRx80PercFull, false};
    case siRxFlag:
        return {&TCustomComPort::OnRxFlag, &TCustomComPort::SetOnRxFlag, false};
    case siTxEmpty:
        return {&TCustomComPort::OnTxEmpty, &TCustomComPort::SetOnTxEmpty, false};
    case siNone:
    case siTxChar:
    case siLineError:
        break;
    }
    return {};
}

QColor toQColor(TColor c) {
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                  static_cast<int>((c >> 16) & 0xFF));
}

} // namespace

TComSignal::TComSignal(QObject* AOwner) : QObject(AOwner) {
    // Created running, like the toolkit's timer: its first tick switches a signal off that
    // nothing has switched on, which changes nothing.
    m_timer = new platform::AppTimer(this, m_delay, true);
    m_timer->setOnTimer([this] { OnTimer(); });
}

TComSignal::~TComSignal() {
    delete m_timer;
    m_timer = nullptr;
    RestoreEvents();
}

std::string TComSignal::GetAbout() const {
    return "XRQ activity indicator 1.0";
}

void TComSignal::Loaded() {
    m_loading = false;
    RetrieveEvents();
    UpdateSignalValue();
    UpdateColor();
}

void TComSignal::SetColorOff(TColor value) {
    if (value != m_colorOff) {
        m_colorOff = value;
        UpdateColor();
    }
}

void TComSignal::SetComPort(TCustomComPort* value) {
    if (value == m_comPort)
        return;
    m_timer->setEnabled(false);
    RestoreEvents();
    QObject::disconnect(m_portWatch);
    m_comPort = value;
    if (m_comPort) {
        // Told of the port's removal even when another form owns it. By the time `destroyed`
        // is emitted the port is only a QObject, so it is not touched from there.
        m_portWatch = connect(m_comPort, &QObject::destroyed, this, [this] { portDestroyed(); });
    }
    RetrieveEvents();
    UpdateSignalValue();
}

void TComSignal::SetControl(QWidget* value) {
    if (value == m_control)
        return;
    QObject::disconnect(m_controlWatch);
    m_control = value;
    if (value)
        m_controlWatch = connect(value, &QObject::destroyed, this, [this] { controlDestroyed(); });
    UpdateColor();
}

void TComSignal::SetDelay(std::int32_t value) {
    if (value != m_delay) {
        m_delay = value;
        m_timer->setInterval(value);
    }
}

void TComSignal::SetSignal(TSignal value) {
    if (value == m_signal)
        return;
    if (!m_hooked) {
        m_signal = value;
        return;
    }
    // Give back the old event's handler before taking over the new one, so that the port
    // is never left calling an indicator whose signal no longer matches what it saved.
    m_timer->setEnabled(false);
    RestoreEvents();
    m_signal = value;
    RetrieveEvents();
    UpdateSignalValue();
}

void TComSignal::RetrieveEvents() {
    // Taking over twice would save our own handler as the one to chain to, and each event
    // would then call it again without end.
    if (m_loading || m_designing || !m_comPort || m_hooked)
        return;
    TCustomComPort* port = m_comPort;
    // Hooked from the first store on: a port setter that raises (the event mask of a device
    // that has gone) has stored our handler all the same, and it must be given back.
    m_hooked = true;

    SavedAfterOpen = port->AfterOpen();
    port->SetAfterOpen(TOpenCloseEvent(this, &TComSignal::AfterOpen));
    SavedAfterClose = port->AfterClose();
    port->SetAfterClose(TOpenCloseEvent(this, &TComSignal::AfterClose));

    if (m_signal == siTxChar) {
        SavedBeforeWrite = port->BeforeWrite();
        port->SetBeforeWrite(TReadWriteEvent(this, &TComSignal::BeforeWrite));
        SavedAfterWrite = port->AfterWrite();
        port->SetAfterWrite(TReadWriteEvent(this, &TComSignal::AfterWrite));
    } else if (m_signal == siLineError) {
        SavedLineError = port->OnLineError();
        port->SetOnLineError(TLineErrorEvent(this, &TComSignal::OnLineError));
    } else if (const NotifySlot slot = notifySlot(m_signal); slot.get) {
        if (slot.modemLine) {
            SavedModemSignal = (port->*slot.get)();
            (port->*slot.set)(TNotifyEvent(this, &TComSignal::OnModemSignal));
        } else {
            SavedNotify = (port->*slot.get)();
            (port->*slot.set)(TNotifyEvent(this, &TComSignal::OnNotifySignal));
        }
    }
}

namespace {

// Giving a handler back through the port's setter re-applies the event mask, which raises on
// a device that has just gone. The handler is stored before that, and the port reports its
// device's going itself (OnError, then it closes): letting go of it must not fail, since it
// runs from destructors and from the removal of the port.
template <typename F> void quietly(F store) {
    try {
        store();
    } catch (...) {
    }
}

} // namespace

void TComSignal::RestoreEvents() {
    if (!m_designing && m_comPort && m_hooked) {
        TCustomComPort* port = m_comPort;
        // Only handlers that are still ours go back; one that someone else put in since
        // stays where it is.
        if (port->AfterOpen().sameRoutine(TOpenCloseEvent(this, &TComSignal::AfterOpen)))
            port->SetAfterOpen(SavedAfterOpen);
        if (port->AfterClose().sameRoutine(TOpenCloseEvent(this, &TComSignal::AfterClose)))
            port->SetAfterClose(SavedAfterClose);

        if (m_signal == siTxChar) {
            if (port->BeforeWrite().sameRoutine(TReadWriteEvent(this, &TComSignal::BeforeWrite)))
                port->SetBeforeWrite(SavedBeforeWrite);
            if (port->AfterWrite().sameRoutine(TReadWriteEvent(this, &TComSignal::AfterWrite)))
                port->SetAfterWrite(SavedAfterWrite);
        } else if (m_signal == siLineError) {
            if (port->OnLineError().sameRoutine(TLineErrorEvent(this, &TComSignal::OnLineError)))
                quietly([&] { port->SetOnLineError(SavedLineError); });
        } else if (const NotifySlot slot = notifySlot(m_signal); slot.get) {
            const TNotifyEvent ours = slot.modemLine
                                          ? TNotifyEvent(this, &TComSignal::OnModemSignal)
                                          : TNotifyEvent(this, &TComSignal::OnNotifySignal);
            if ((port->*slot.get)().sameRoutine(ours))
                quietly(
                    [&] { (port->*slot.set)(slot.modemLine ? SavedModemSignal : SavedNotify); });
        }
    }
    m_hooked = false;
    SavedAfterClose = nullptr;
    SavedAfterOpen = nullptr;
    SavedAfterWrite = nullptr;
    SavedBeforeWrite = nullptr;
    SavedNotify = nullptr;
    SavedLineError = nullptr;
    SavedModemSignal = nullptr;
}

void TComSignal::UpdateSignalValue() {
    bool value = false;
    if (m_comPort && m_comPort->Active()) {
        switch (m_signal) {
        case siCTS:
            value = m_comPort->ModemStatus().contains(msCTS);
            break;
        case siDSR:
            value = m_comPort->ModemStatus().contains(msDSR);
            break;
        case siRing:
            value = m_comPort->ModemStatus().contains(msRing);
            break;
        case siRLSD:
            value = m_comPort->ModemStatus().contains(msRLSD);
            break;
        default:
            break;
        }
    }
    SetSignalValue(value);
}

void TComSignal::SetSignalValue(bool value) {
    if (value == m_signalValue)
        return;
    m_signalValue = value;
    UpdateColor();
    if (OnSignal)
        OnSignal(this);
}

void TComSignal::UpdateColor() {
    if (!m_control)
        return;
    QPalette palette = m_control->palette();
    palette.setColor(QPalette::Window, toQColor(m_signalValue ? m_colorOn : m_colorOff));
    m_control->setPalette(palette);
    m_control->setAutoFillBackground(true);
}

void TComSignal::StartTimer() {
    // The hold time counts from the latest occurrence.
    m_timer->restart();
}

void TComSignal::AfterOpen(TCustomComPort* Sender) {
    UpdateSignalValue();
    if (SavedAfterOpen)
        SavedAfterOpen(Sender);
}

void TComSignal::AfterClose(TCustomComPort* Sender) {
    UpdateSignalValue();
    if (SavedAfterClose)
        SavedAfterClose(Sender);
}

void TComSignal::OnNotifySignal(QObject* Sender) {
    SetSignalValue(true);
    StartTimer();
    if (SavedNotify)
        SavedNotify(Sender);
}

void TComSignal::OnModemSignal(QObject* Sender) {
    UpdateSignalValue();
    if (SavedModemSignal)
        SavedModemSignal(Sender);
}

void TComSignal::OnLineError(QObject* Sender, TLineErrors Errors) {
    SetSignalValue(true);
    StartTimer();
    if (SavedLineError)
        SavedLineError(Sender, Errors);
}

void TComSignal::BeforeWrite(QObject* Sender, const void* Buffer, std::int32_t Count,
                             bool WaitOnCompletion) {
    SetSignalValue(true);
    m_writing = true;
    StartTimer();
    if (SavedBeforeWrite)
        SavedBeforeWrite(Sender, Buffer, Count, WaitOnCompletion);
}

void TComSignal::AfterWrite(QObject* Sender, const void* Buffer, std::int32_t Count,
                            bool WaitOnCompletion) {
    m_writing = false;
    if (SavedAfterWrite)
        SavedAfterWrite(Sender, Buffer, Count, WaitOnCompletion);
}

void TComSignal::OnTimer() {
    if (m_signal == siTxChar && m_writing)
        return; // a write in progress keeps the signal on, however long it takes
    m_timer->setEnabled(false);
    SetSignalValue(false);
}

void TComSignal::portDestroyed() {
    // The port's own destructor has run: its slots are gone with it, so there is nothing to
    // give back, only the saved handlers to forget.
    m_hooked = false;
    m_comPort = nullptr;
    RestoreEvents();
    m_timer->setEnabled(false);
    m_writing = false;
    SetSignalValue(false);
}

void TComSignal::controlDestroyed() {
    m_control = nullptr;
}
