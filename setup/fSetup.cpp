#include "setup/fSetup.h"

#include "serial/fSerial.h"

#include <QLineEdit>

TFormSetup* FormSetup = nullptr;

TFormSetup::TFormSetup(QWidget* parent) : QDialog(parent) {
    EditDataDirectory = new QLineEdit(this);
}

void TFormSetup::RefreshButtonClick() {
    if (FormSerial)
        FormSerial->BaudRate = 19200;
}
