// SPDX-License-Identifier: GPL-3.0-or-later
// Device control block <-> termios2, without a device.
#include "platform/termios_dcb.h"

#include <gtest/gtest.h>

using namespace win;
using namespace platform;

namespace {

DCB baseDcb() {
    DCB d;
    d.BaudRate = 19200;
    d.ByteSize = 8;
    d.Flags = DCB_fBinary;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

} // namespace

TEST(SerialTermios, WindowsAcceptanceRules) {
    struct Case {
        const char* what;
        void (*change)(DCB&);
        DWORD error;
    } cases[] = {
        {"plain 8N1", [](DCB&) {}, ERROR_SUCCESS},
        {"rate 0", [](DCB& d) { d.BaudRate = 0; }, ERROR_INVALID_PARAMETER},
        {"4 bits", [](DCB& d) { d.ByteSize = 4; }, ERROR_INVALID_PARAMETER},
        {"9 bits", [](DCB& d) { d.ByteSize = 9; }, ERROR_INVALID_PARAMETER},
        {"parity 5", [](DCB& d) { d.Parity = 5; }, ERROR_INVALID_PARAMETER},
        {"stop 3", [](DCB& d) { d.StopBits = 3; }, ERROR_INVALID_PARAMETER},
        {"5 bits 1.5 stop",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = ONE5STOPBITS;
         },
         ERROR_SUCCESS},
        {"5 bits 2 stop",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = TWOSTOPBITS;
         },
         ERROR_INVALID_PARAMETER},
        {"8 bits 1.5 stop", [](DCB& d) { d.StopBits = ONE5STOPBITS; }, ERROR_INVALID_PARAMETER},
        {"6 bits 2 stop",
         [](DCB& d) {
             d.ByteSize = 6;
             d.StopBits = TWOSTOPBITS;
         },
         ERROR_SUCCESS},
        {"xon equals xoff", [](DCB& d) { d.XoffChar = d.XonChar; }, ERROR_INVALID_PARAMETER},
        {"odd rate", [](DCB& d) { d.BaudRate = 31337; }, ERROR_SUCCESS},
        {"limits beyond queue",
         [](DCB& d) {
             d.Flags |= DCB_fInX;
             d.XonLim = 5000;
         },
         ERROR_INVALID_PARAMETER},
        {"zero limits", [](DCB& d) { d.Flags |= DCB_fInX; }, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        DCB d = baseDcb();
        c.change(d);
        EXPECT_EQ(validateDcb(d, 4096), c.error) << c.what;
    }
}

TEST(SerialTermios, LineSettingsRoundTrip) {
    struct Case {
        DWORD rate;
        BYTE size, parity, stop;
        DWORD flags;
    } cases[] = {
        {19200, 8, NOPARITY, ONESTOPBIT, 0},
        {110, 7, EVENPARITY, TWOSTOPBITS, DCB_fParity},
        {250000, 6, ODDPARITY, ONESTOPBIT, DCB_fOutX},
        {1200, 5, MARKPARITY, ONE5STOPBITS, DCB_fInX},
        {3000000, 8, SPACEPARITY, ONESTOPBIT, DCB_fOutxCtsFlow | DCB_fOutX | DCB_fInX},
    };
    for (const auto& c : cases) {
        DCB d = baseDcb();
        d.BaudRate = c.rate;
        d.ByteSize = c.size;
        d.Parity = c.parity;
        d.StopBits = c.stop;
        d.Flags |= c.flags;
        termios2 t{};
        makeRaw(t);
        dcbToTermios(d, t);
        EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(BOTHER));
        DCB back = baseDcb();
        back.Flags = DCB_fBinary;
        termiosToDcb(t, back);
        EXPECT_EQ(back.BaudRate, c.rate);
        EXPECT_EQ(back.ByteSize, c.size);
        EXPECT_EQ(back.Parity, c.parity) << c.rate;
        EXPECT_EQ(back.StopBits, c.stop) << c.rate;
        EXPECT_EQ(back.Flags, d.Flags) << c.rate;
        EXPECT_TRUE(dcbLineSettingsMatch(d, back));
    }
}

TEST(SerialTermios, RtsHandshakeMeansHardwareFlowAndClassicRatesAreRead) {
    DCB d = baseDcb();
    d.Flags |= 0x2000;
    termios2 t{};
    dcbToTermios(d, t);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    DCB back = d;
    termiosToDcb(t, back);
    EXPECT_EQ(back.Flags, d.Flags) << "handshake alone must not grow the CTS-flow bit";

    termios2 classic{};
    classic.c_cflag = B9600 | CS8;
    EXPECT_EQ(termiosBaudRate(classic), 9600u);
    classic.c_cflag = B115200 | CS8;
    EXPECT_EQ(termiosBaudRate(classic), 115200u);
}

TEST(SerialTermios, RawModeKeepsFramingAndDropsProcessing) {
    termios2 t{};
    t.c_cflag = BOTHER | CS7 | PARENB | CSTOPB;
    t.c_iflag = ICRNL | IXON | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_cc[VMIN] = 1;
    makeRaw(t);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS7 | PARENB | CSTOPB));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | INPCK)) << "binary data must pass unchanged";
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    DCB want = baseDcb(), got = baseDcb();
    got.BaudRate = 19400; // within 2 %
    EXPECT_TRUE(dcbLineSettingsMatch(want, got));
    got.BaudRate = 20000;
    EXPECT_FALSE(dcbLineSettingsMatch(want, got));
}
