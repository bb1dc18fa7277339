#include "serial/fSerial.h"

TFormSerial* FormSerial = nullptr;

TFormSerial::TFormSerial(QWidget* parent) : QWidget(parent) {}
