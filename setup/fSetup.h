#pragma once
// The setup dialog: COM port and data directory. (Minimal for now.)
#include <QDialog>

class QLineEdit;

class TFormSetup : public QDialog {
    Q_OBJECT
public:
    explicit TFormSetup(QWidget* parent = nullptr);

    QLineEdit* EditDataDirectory = nullptr;

    // Refills the COM port list and sets the session's line speed.
    void RefreshButtonClick();
};

extern TFormSetup* FormSetup;
