// Command line of ac_sim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Controller.h"
#include "Faults.h"

namespace acsim {

struct Options {
    ControllerConfig controller;
    FaultConfig faults;
    std::string link;    // symbolic link to the pseudo-terminal, if any
    std::string device;  // existing serial device instead of a pseudo-terminal
    int baud = 9600;     // line speed of --device
    int pace = -1;       // pacing rate; -1: 9600 on a pseudo-terminal, off on a device
    double turnaroundMs = 10;
    double vanishAfter = -1;  // seconds; -1 never
    double backAfter = -1;    // seconds after vanishing; -1 stay away
    std::string logPath;      // one line per frame; "-" is standard output
    bool verbose = false;     // log to standard output
    bool help = false;
};

struct ParseResult {
    std::optional<Options> options;
    std::string error;  // set when options is empty
};

ParseResult ParseOptions(const std::vector<std::string>& args);
std::string HelpText();

}  // namespace acsim
