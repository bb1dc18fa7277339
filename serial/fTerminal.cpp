#include "serial/fTerminal.h"

TFormTerminal* FormTerminal = nullptr;

TFormTerminal::TFormTerminal(QWidget* parent) : QWidget(parent) {}
