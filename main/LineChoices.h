// The line settings the window offers in its four boxes, in the order of their items. The texts
// of rates, data bits and stop bits are the serial component's (ComText.h); parity has words of
// the window's own. The boxes' items and their handlers both take them from here.
#pragma once

#include <array>

#include "CPort.h"

namespace linechoices {

inline constexpr std::array<TBaudRate, 10> BaudRates{
    TBaudRate::Br300,   TBaudRate::Br600,   TBaudRate::Br1200,  TBaudRate::Br2400,
    TBaudRate::Br4800,  TBaudRate::Br9600,  TBaudRate::Br19200, TBaudRate::Br38400,
    TBaudRate::Br57600, TBaudRate::Br115200};
inline constexpr int DefaultBaudRate = 5;  // 9600

inline constexpr std::array<TDataBits, 4> DataBits{TDataBits::DbFive, TDataBits::DbSix,
                                                   TDataBits::DbSeven, TDataBits::DbEight};
inline constexpr int DefaultDataBits = 3;  // 8

// The parity list starts with even parity: its order is not the component's.
struct TParityChoice {
    TParityBits Bits;
    const char* Word;
};
inline constexpr std::array<TParityChoice, 5> Parities{{{TParityBits::PrEven, "偶"},
                                                        {TParityBits::PrOdd, "奇"},
                                                        {TParityBits::PrNone, "无"},
                                                        {TParityBits::PrMark, "标志"},
                                                        {TParityBits::PrSpace, "空格"}}};
inline constexpr int DefaultParity = 2;  // none

inline constexpr std::array<TStopBits, 3> StopBits{
    TStopBits::SbOneStopBit, TStopBits::SbOne5StopBits, TStopBits::SbTwoStopBits};
inline constexpr int DefaultStopBits = 0;  // 1

// The choice at Index of a list; Fallback for an index outside it (no item chosen).
template <class T, std::size_t N>
T Pick(const std::array<T, N>& List, int Index, T Fallback) {
    if (Index < 0 || static_cast<std::size_t>(Index) >= N) return Fallback;
    return List[static_cast<std::size_t>(Index)];
}
inline TParityBits PickParity(int Index, TParityBits Fallback) {
    if (Index < 0 || static_cast<std::size_t>(Index) >= Parities.size()) return Fallback;
    return Parities[static_cast<std::size_t>(Index)].Bits;
}

}  // namespace linechoices
