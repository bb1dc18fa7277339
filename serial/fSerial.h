#pragma once
// The hidden serial session form: owns the port, the session state and the timers.
// (Minimal for now; the session work fills it in.)
#include <QWidget>

class TFormSerial : public QWidget {
    Q_OBJECT
public:
    explicit TFormSerial(QWidget* parent = nullptr);

    int ComPortNumber = 1; // the n of COMn; -1 none
    int BaudRate = 19200;
    bool PortOpen = false;
};

extern TFormSerial* FormSerial;
