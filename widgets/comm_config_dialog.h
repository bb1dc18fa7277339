// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Our own modal dialog over a configuration record's control-block values, the platform's
// port settings dialog (platform/comm_config.h) in the windowed programs: rate (any positive rate
// may be typed), data bits, parity, stop bits, DTR and RTS control, XON/XOFF, with OK and Cancel.
// OK checks the combination the way a device would and keeps the dialog open, with the reason
// shown, when it cannot be used. UI thread only.

#include "platform/comm_config.h"
#include "platform/win_comm.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace platform {

class CommConfigDialog : public QDialog {
    Q_OBJECT
public:
    CommConfigDialog(const QString& deviceName, const win::DCB& dcb, QWidget* parent = nullptr);

    // The block shown, with the controls' values written over the loaded one.
    win::DCB dcb() const;

    QComboBox* baudRateBox() const { return m_baud; }
    QComboBox* dataBitsBox() const { return m_dataBits; }
    QComboBox* parityBox() const { return m_parity; }
    QComboBox* stopBitsBox() const { return m_stopBits; }
    QComboBox* dtrControlBox() const { return m_dtr; }
    QComboBox* rtsControlBox() const { return m_rts; }
    QCheckBox* xonXoffBox() const { return m_xonXoff; }
    QPushButton* okButton() const { return m_ok; }
    QPushButton* cancelButton() const { return m_cancel; }
    QString problem() const; // why the last OK was not taken; empty if it was

    void accept() override;

private:
    void load(const win::DCB& dcb);

    win::DCB m_loaded;
    QComboBox* m_baud;
    QComboBox* m_dataBits;
    QComboBox* m_parity;
    QComboBox* m_stopBits;
    QComboBox* m_dtr;
    QComboBox* m_rts;
    QCheckBox* m_xonXoff;
    QLabel* m_problem;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

// Puts this dialog behind win::CommConfigDialogA (the windowed programs' start does).
void installCommConfigDialog();

// Test seam: while set, CommConfigDialogA calls the hook with the dialog instead of running
// it; the hook works the controls and presses OK or Cancel (or neither, which cancels). Puts
// the dialog in place as installCommConfigDialog does. Returns the previous hook.
using CommConfigDialogHook = std::function<void(CommConfigDialog&)>;
CommConfigDialogHook setCommConfigDialogHook(CommConfigDialogHook hook);

} // namespace platform
