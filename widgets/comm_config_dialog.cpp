// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/comm_config_dialog.h"

#include "platform/termios_dcb.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include <utility>

namespace platform {

namespace {

constexpr win::DWORD kDtrMask = win::DCB_fDtrControlMask;
constexpr win::DWORD kRtsMask = win::DCB_fRtsControlMask;

CommConfigDialogHook& hookSlot() {
    static CommConfigDialogHook hook;
    return hook;
}

void setIndexByData(QComboBox* box, int value) {
    int i = box->findData(value);
    box->setCurrentIndex(i >= 0 ? i : 0);
}

} // namespace

CommConfigDialogHook setCommConfigDialogHook(CommConfigDialogHook hook) {
    installCommConfigDialog();
    return std::exchange(hookSlot(), std::move(hook));
}

CommConfigDialog::CommConfigDialog(const QString& deviceName, const win::DCB& dcb, QWidget* parent)
    : QDialog(parent), m_loaded(dcb) {
    setWindowTitle(tr("%1 Properties").arg(deviceName));
    setModal(true);

    m_baud = new QComboBox(this);
    m_baud->setEditable(true);
    for (int rate : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200,
                     128000, 230400, 256000, 460800, 921600})
        m_baud->addItem(QString::number(rate));
    m_baud->setValidator(new QIntValidator(1, 2147483647, m_baud));

    m_dataBits = new QComboBox(this);
    for (int bits : {5, 6, 7, 8})
        m_dataBits->addItem(QString::number(bits), bits);

    m_parity = new QComboBox(this);
    m_parity->addItem(tr("None"), win::NOPARITY);
    m_parity->addItem(tr("Odd"), win::ODDPARITY);
    m_parity->addItem(tr("Even"), win::EVENPARITY);
    m_parity->addItem(tr("Mark"), win::MARKPARITY);
    m_parity->addItem(tr("Space"), win::SPACEPARITY);

    m_stopBits = new QComboBox(this);
    m_stopBits->addItem("1", win::ONESTOPBIT);
    m_stopBits->addItem("1.5", win::ONE5STOPBITS);
    m_stopBits->addItem("2", win::TWOSTOPBITS);

    m_dtr = new QComboBox(this);
    m_dtr->addItem(tr("Disable"), win::DTR_CONTROL_DISABLE);
    m_dtr->addItem(tr("Enable"), win::DTR_CONTROL_ENABLE);
    m_dtr->addItem(tr("Handshake"), win::DTR_CONTROL_HANDSHAKE);

    m_rts = new QComboBox(this);
    m_rts->addItem(tr("Disable"), win::RTS_CONTROL_DISABLE);
    m_rts->addItem(tr("Enable"), win::RTS_CONTROL_ENABLE);
    m_rts->addItem(tr("Handshake"), win::RTS_CONTROL_HANDSHAKE);
    m_rts->addItem(tr("Toggle"), win::RTS_CONTROL_TOGGLE);

    m_xonXoff = new QCheckBox(tr("XON/XOFF flow control"), this);
    m_problem = new QLabel(this);
    m_problem->setStyleSheet("color: #b00000");
    m_problem->setWordWrap(true);
    m_problem->hide();

    auto* form = new QFormLayout;
    form->addRow(tr("Bits per second:"), m_baud);
    form->addRow(tr("Data bits:"), m_dataBits);
    form->addRow(tr("Parity:"), m_parity);
    form->addRow(tr("Stop bits:"), m_stopBits);
    form->addRow(tr("DTR control:"), m_dtr);
    form->addRow(tr("RTS control:"), m_rts);
    form->addRow(QString(), m_xonXoff);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_ok = buttons->button(QDialogButtonBox::Ok);
    m_cancel = buttons->button(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CommConfigDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CommConfigDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addWidget(buttons);

    load(dcb);
}

void CommConfigDialog::load(const win::DCB& dcb) {
    m_baud->setCurrentText(QString::number(dcb.BaudRate));
    setIndexByData(m_dataBits, dcb.ByteSize);
    setIndexByData(m_parity, dcb.Parity);
    setIndexByData(m_stopBits, dcb.StopBits);
    setIndexByData(m_dtr, static_cast<int>(dcb.Flags & kDtrMask));
    setIndexByData(m_rts, static_cast<int>(dcb.Flags & kRtsMask));
    m_xonXoff->setChecked(dcb.Flags & (win::DCB_fOutX | win::DCB_fInX));
}

win::DCB CommConfigDialog::dcb() const {
    win::DCB d = m_loaded;
    bool ok = false;
    const uint rate = m_baud->currentText().trimmed().toUInt(&ok);
    d.BaudRate = ok ? rate : 0;
    d.ByteSize = static_cast<win::BYTE>(m_dataBits->currentData().toInt());
    d.Parity = static_cast<win::BYTE>(m_parity->currentData().toInt());
    d.StopBits = static_cast<win::BYTE>(m_stopBits->currentData().toInt());
    d.Flags = (d.Flags & ~(kDtrMask | kRtsMask)) |
              static_cast<win::DWORD>(m_dtr->currentData().toInt()) |
              static_cast<win::DWORD>(m_rts->currentData().toInt());
    // RTS handshake is the receiving half of hardware flow control; its sending half (CTS)
    // goes with it, as termios knows only the pair.
    if ((d.Flags & kRtsMask) == win::RTS_CONTROL_HANDSHAKE)
        d.Flags |= win::DCB_fOutxCtsFlow;
    const bool xonXoff = m_xonXoff->isChecked();
    const bool wasXonXoff = m_loaded.Flags & (win::DCB_fOutX | win::DCB_fInX);
    if (xonXoff && !wasXonXoff)
        d.Flags |= win::DCB_fOutX | win::DCB_fInX;
    else if (!xonXoff)
        d.Flags &= ~(win::DCB_fOutX | win::DCB_fInX);
    return d;
}

QString CommConfigDialog::problem() const {
    return m_problem->text();
}

void CommConfigDialog::accept() {
    const win::DCB d = dcb();
    QString why;
    if (d.BaudRate == 0)
        why = tr("Enter a rate in bits per second (a whole number above 0).");
    else if (d.ByteSize == 5 && d.StopBits == win::TWOSTOPBITS)
        why = tr("2 stop bits cannot be used with 5 data bits; choose 1.5.");
    else if (d.ByteSize != 5 && d.StopBits == win::ONE5STOPBITS)
        why = tr("1.5 stop bits can only be used with 5 data bits.");
    else if (validateDcb(d, 0xFFFFFFFFu) != win::ERROR_SUCCESS)
        why = tr("These settings cannot be used together.");
    m_problem->setText(why);
    m_problem->setVisible(!why.isEmpty());
    if (why.isEmpty())
        QDialog::accept();
}

} // namespace platform

namespace platform {
namespace {

// CommConfigDialogA with its arguments checked.
win::BOOL showDialog(const char* name, win::COMMCONFIG* config) {
    if (qApp == nullptr || QThread::currentThread() != qApp->thread()) {
        win::SetLastError(win::ERROR_GEN_FAILURE);
        return win::FALSE;
    }
    CommConfigDialog dialog(QString::fromLatin1(name), config->dcb);
    if (const auto& hook = hookSlot())
        hook(dialog);
    else
        dialog.exec();
    if (dialog.result() != QDialog::Accepted) {
        win::SetLastError(win::ERROR_CANCELLED);
        return win::FALSE;
    }
    config->dcb = dialog.dcb();
    return win::TRUE;
}

} // namespace

void installCommConfigDialog() {
    setCommConfigShower(showDialog);
}

} // namespace platform
