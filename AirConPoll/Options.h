// The command line of the poller.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "CPort.h"

namespace airconpoll {

struct TPollOptions {
    std::string Port;  // "ttyUSB0" (a device under /dev) or an absolute path
    TBaudRate BaudRate = TBaudRate::Br9600;
    TDataBits DataBits = TDataBits::DbEight;
    TParityBits Parity = TParityBits::PrNone;
    TStopBits StopBits = TStopBits::SbOneStopBit;
    int Addr = 1;  // the first of Addresses
    // The controllers polled in turn on the line (--addr 1,2,7 or 1-3); one for most lines.
    std::vector<std::uint8_t> Addresses{1};
    int IntervalMs = 500;       // poll interval
    int TimeoutMs = 350;        // reply time-out
    int ParamsIntervalS = 300;  // re-reading of the parameters and the identity; 0 never
    bool Once = false;
    bool Json = false;
    std::string TextFile;
    bool Help = false;
    bool Version = false;
};

struct TParseResult {
    std::optional<TPollOptions> Options;  // empty on a bad command line
    std::string Error;                    // what is wrong, one line
};

TParseResult ParseOptions(std::span<const std::string> Args);

// The baud rate as a number (9600), and its parity and stop bits as on the command line.
int BaudRateNumber(TBaudRate Rate);
std::string_view ParityName(TParityBits Parity);
std::string_view StopBitsName(TStopBits Stop);

std::string HelpText();
std::string VersionText();

}  // namespace airconpoll
