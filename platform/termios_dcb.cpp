// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/termios_dcb.h"

#include <cstdlib>

namespace platform {

using namespace win;

namespace {

struct RateCode {
    tcflag_t code;
    DWORD rate;
};

constexpr RateCode kRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

DWORD dtrControl(const DCB& d) {
    return d.Flags & DCB_fDtrControlMask;
}
DWORD rtsControl(const DCB& d) {
    return d.Flags & DCB_fRtsControlMask;
}

} // namespace

DWORD validateDcb(const DCB& dcb, DWORD inputQueueSize) {
    if (dcb.BaudRate == 0)
        return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return ERROR_INVALID_PARAMETER;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize == 5 && dcb.StopBits == TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    if (dcb.ByteSize != 5 && dcb.StopBits == ONE5STOPBITS)
        return ERROR_INVALID_PARAMETER;
    if (dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;
    if (dtrControl(dcb) == DCB_fDtrControlMask) // both bits: no such DTR mode
        return ERROR_INVALID_PARAMETER;
    if ((dcb.Flags & DCB_fInX) && (dcb.XonLim > inputQueueSize || dcb.XoffLim > inputQueueSize))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

void makeRaw(termios2& t) {
    // Software flow control and parity checking stay off until a block asks for them: a
    // fresh tty has IXON on, which would swallow the 0x11/0x13 bytes of binary data.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC |
                   IMAXBEL | IXON | IXOFF | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG |
                   IEXTEN | NOFLSH | TOSTOP);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

void dcbToTermios(const DCB& dcb, termios2& t) {
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = dcb.BaudRate;
    t.c_ispeed = dcb.BaudRate;

    t.c_cflag &= ~CSIZE;
    switch (dcb.ByteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }

    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (dcb.Parity) {
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.Flags & DCB_fParity)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~INPCK;

    // With 5 data bits the UART's "two stop bits" setting gives one and a half.
    if (dcb.StopBits == ONESTOPBIT)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;

    if (dcb.Flags & DCB_fOutX)
        t.c_iflag |= IXON;
    else
        t.c_iflag &= ~IXON;
    if (dcb.Flags & DCB_fInX)
        t.c_iflag |= IXOFF;
    else
        t.c_iflag &= ~IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    if ((dcb.Flags & DCB_fOutxCtsFlow) || rtsControl(dcb) == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
}

DWORD termiosBaudRate(const termios2& t) {
    tcflag_t code = t.c_cflag & CBAUD;
    if (code == BOTHER)
        return t.c_ospeed;
    for (const auto& r : kRates)
        if (r.code == code)
            return r.rate;
    return 0;
}

void termiosToDcb(const termios2& t, DCB& dcb) {
    dcb.BaudRate = termiosBaudRate(t);
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;

    auto setFlag = [&](DWORD bit, bool on) {
        dcb.Flags = on ? (dcb.Flags | bit) : (dcb.Flags & ~bit);
    };
    setFlag(DCB_fParity, t.c_iflag & INPCK);
    setFlag(DCB_fOutX, t.c_iflag & IXON);
    setFlag(DCB_fInX, t.c_iflag & IXOFF);
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);

    bool ctsFlow = t.c_cflag & CRTSCTS;
    if (ctsFlow && !(dcb.Flags & DCB_fOutxCtsFlow) && rtsControl(dcb) != RTS_CONTROL_HANDSHAKE)
        dcb.Flags |= DCB_fOutxCtsFlow;
    if (!ctsFlow) {
        dcb.Flags &= ~DCB_fOutxCtsFlow;
        if (rtsControl(dcb) == RTS_CONTROL_HANDSHAKE)
            dcb.Flags = (dcb.Flags & ~DCB_fRtsControlMask) | RTS_CONTROL_ENABLE;
    }
}

bool dcbLineSettingsMatch(const DCB& wanted, const DCB& got) {
    if (wanted.ByteSize != got.ByteSize || wanted.Parity != got.Parity ||
        wanted.StopBits != got.StopBits)
        return false;
    long long diff = std::llabs(static_cast<long long>(wanted.BaudRate) - got.BaudRate);
    return diff * 50 <= static_cast<long long>(wanted.BaudRate);
}

} // namespace platform
