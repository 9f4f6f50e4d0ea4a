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
    // Listening to another master instead of polling (Listen.h), and the speed found by
    // listening; the capture file of the line (Capture.h) and its replay.
    bool Listen = false;
    bool FindSpeed = false;
    std::string Capture;
    long long CaptureLimit = 10LL * 1024 * 1024;  // bytes a capture file holds
    std::string Replay;
    bool ReplayPace = false;
    bool Help = false;
    bool Version = false;
    // --scan: find the controllers on the line instead of polling.
    bool Scan = false;
    std::vector<TBaudRate> BaudList;  // the rates to scan; empty: 1200 to 19200
    int AddrFirst = 0;
    int AddrLast = 255;
    int ScanMarginMs = 50;    // turnaround margin after a command's time on the line
    int ScanListenMs = 500;   // listening before each rate
    bool ScanAnyway = false;  // go on when another master is heard
    // Parameter sets: save the controller's, compare it with one, write one (the only
    // option that writes parameters); a reference compared while polling.
    std::string ParamsSave;
    std::string ParamsCheck;
    std::string ParamsApply;
    std::string ParamsReference;
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
