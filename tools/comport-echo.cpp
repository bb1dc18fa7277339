// SPDX-License-Identifier: GPL-3.0-or-later
// comport-echo DEVICE: opens DEVICE (a path, or "\\.\COMn" / "COMn" through the port table)
// at 19200 bit/s, 8N1, no flow control, and writes back every byte it receives. When the
// device goes away, or any other port error occurs, it prints the error code and message
// and exits with status 1. It waits on line events only, so it uses no CPU while idle.

#include "comport/Comport.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>

namespace {

class Echo : public QObject {
public:
    explicit Echo(const std::string& device) {
        m_port.SetDeviceName(device);
        m_port.SetCustomBaudRate(19200);
        m_port.SetDataBits(db8);
        m_port.SetParity(paNone);
        m_port.SetStopBits(sb1);
        m_port.FlowControl()->SetDTRControl(dcDisable);
        m_port.FlowControl()->SetRTSControl(rcDisable);
        m_port.FlowControl()->SetXOnXOffControl(xcDisable);
        m_port.Timeouts()->SetReadConstant(50);
        m_port.SetOnError(TComErrorEvent(this, &Echo::PortError));
        m_port.SetOnRxChar(TNotifyEvent(this, &Echo::PortRxChar));
    }

    void open() { m_port.Open(); }

private:
    void PortRxChar(QObject*) { m_port.WriteString(m_port.ReadString()); }

    // Every failure of the port passes here first, on the thread that met it (the UI thread:
    // the port delivers its events there).
    void PortError(TCustomComPort*, EComError& e, TComAction&) {
        if (m_failed)
            return;
        m_failed = true;
        std::fprintf(stderr, "comport-echo: error %d: %s\n", static_cast<int>(e.ErrorCode),
                     e.what());
        QCoreApplication::exit(1);
    }

    TComPort m_port;
    bool m_failed = false;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: comport-echo DEVICE\n");
        return 2;
    }
    Echo echo(argv[1]);
    try {
        echo.open();
    } catch (const std::exception&) {
        return 1; // already printed by the error handler
    }
    std::fprintf(stderr, "comport-echo: echoing on %s\n", argv[1]);
    return app.exec();
}
