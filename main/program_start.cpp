#include "main/program_start.h"

#include "main/fMain.h"
#include "serial/fSerial.h"
#include "serial/fTerminal.h"
#include "setup/fSetup.h"

#include <QApplication>

#include <stdexcept>

void CreateProgramWindows(const ProgramLocations& where) {
    if (FormXRQMain || FormSerial || FormSetup || FormTerminal)
        throw std::logic_error("The program's windows exist already.");
    FormXRQMain = new TFormXRQMain(where);
    FormSerial = new TFormSerial();
    FormSetup = new TFormSetup();
    FormTerminal = new TFormTerminal();
}

int RunProgram(QApplication& app) {
    // Only the main window ends the program: a setup or terminal window left open does not
    // keep it running, and closing one of them alone does not end it.
    app.setQuitOnLastWindowClosed(false);
    QObject::connect(FormXRQMain, &TFormXRQMain::closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    FormXRQMain->show();
    app.exec();
    DestroyProgramWindows();
    return 0;
}

void DestroyProgramWindows() {
    delete FormTerminal;
    FormTerminal = nullptr;
    delete FormSetup;
    FormSetup = nullptr;
    delete FormSerial;
    FormSerial = nullptr;
    delete FormXRQMain;
    FormXRQMain = nullptr;
}
