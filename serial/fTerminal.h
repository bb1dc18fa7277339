#pragma once
// The terminal window. (Minimal for now.)
#include <QWidget>

class TFormTerminal : public QWidget {
    Q_OBJECT
public:
    explicit TFormTerminal(QWidget* parent = nullptr);
};

extern TFormTerminal* FormTerminal;
