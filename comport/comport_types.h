// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Enumerated types and small sets of the serial port component. Ordinals start at 0 in the
// order listed: the device control block translation and any stored configuration rely on
// them, so values are appended never, reordered never.

#include <cstdint>
#include <initializer_list>
#include <type_traits>

enum TBaudRate : std::uint8_t {
    brDefault,
    br50,
    br75,
    br110,
    br150,
    br300,
    br600,
    br1200,
    br1800,
    br2000,
    br2400,
    br3600,
    br4800,
    br7200,
    br9600,
    br10400,
    br14400,
    br15625,
    br19200,
    br28800,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom
};

enum TDataBits : std::uint8_t { dbDefault, db4, db5, db6, db7, db8 };
enum TParity : std::uint8_t { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits : std::uint8_t { sbDefault, sb1, sb1_5, sb2 };
enum TDTRControl : std::uint8_t { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl : std::uint8_t { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl : std::uint8_t { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum TOption : std::uint8_t {
    opCheckParity,
    opOutputCTSFlow,
    opOutputDSRFlow,
    opDSRSensitivity,
    opTXContinueOnXOff,
    opUseErrorChar,
    opDiscardNullBytes,
    opAbortOnError
};
enum TPriorityClass : std::uint8_t { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum TModemStatusValue : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
enum TLineError : std::uint8_t {
    leBreak,
    leDeviceNotSelected,
    leFrame,
    leIO,
    leMode,
    leOutOfPaper,
    leOverrun,
    leDeviceTimeOut,
    leRxOverflow,
    leParity,
    leTxFull
};
enum TComAction : std::uint8_t { caFail, caAbort };

// The toolkit's seven-step thread priority.
enum TThreadPriority : std::uint8_t {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// A set of enumeration values held as bits of `Bits` (bit n = ordinal n).
template <typename E, typename Bits> class TSet {
    static_assert(std::is_unsigned_v<Bits>);

public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> values) {
        for (E v : values)
            m_bits |= bit(v);
    }
    static constexpr TSet fromBits(Bits bits) {
        TSet s;
        s.m_bits = bits;
        return s;
    }

    constexpr Bits bits() const { return m_bits; }
    constexpr bool contains(E v) const { return (m_bits & bit(v)) != 0; }
    constexpr bool empty() const { return m_bits == 0; }
    constexpr TSet& include(E v) {
        m_bits |= bit(v);
        return *this;
    }
    constexpr TSet& exclude(E v) {
        m_bits &= static_cast<Bits>(~bit(v));
        return *this;
    }
    constexpr TSet operator|(TSet o) const {
        return fromBits(static_cast<Bits>(m_bits | o.m_bits));
    }
    constexpr TSet operator&(TSet o) const {
        return fromBits(static_cast<Bits>(m_bits & o.m_bits));
    }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr Bits bit(E v) {
        return static_cast<Bits>(Bits{1} << static_cast<unsigned>(v));
    }
    Bits m_bits = 0;
};

using TOptions = TSet<TOption, std::uint8_t>;
using TModemStatus = TSet<TModemStatusValue, std::uint8_t>;
using TLineErrors = TSet<TLineError, std::uint16_t>;
