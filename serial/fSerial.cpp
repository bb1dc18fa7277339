// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/fSerial.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

TFormSerial* FormSerial = nullptr;

TFormSerial::TFormSerial(QWidget* parent) : QWidget(parent) {
    setWindowTitle("FormSerial");
    Label1 = new QLabel("Form should never be shown", this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);

    connect(&Session, &session::SerialSession::exchangeRefused, this,
            &TFormSerial::exchangeRefused);
    connect(&Session, &session::SerialSession::portVanished, this, &TFormSerial::portVanished);
    connect(&Session, &session::SerialSession::sessionChanged, this, &TFormSerial::sessionChanged);
    connect(&Session, &session::SerialSession::exchangeStateChanged, this,
            &TFormSerial::exchangeStateChanged);
    connect(&Session, &session::SerialSession::portsChanged, this, &TFormSerial::portsChanged);

    FormCreate(this);
}

TFormSerial::~TFormSerial() {
    if (FormSerial == this)
        FormSerial = nullptr;
}

void TFormSerial::FormCreate(QObject*) {
    Match = MatchState{};
    PortOpen = false;
}

void TFormSerial::FormClose(QObject*) {
    Session.StopTimers();
}

void TFormSerial::closeEvent(QCloseEvent* event) {
    FormClose(this);
    QWidget::closeEvent(event);
}
