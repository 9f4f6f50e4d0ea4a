// Command line of ac_sim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Controller.h"
#include "Faults.h"

namespace acsim {

struct Options {
    // Settings every controller shares; its address is the first of `addresses`.
    ControllerConfig controller;
    std::vector<std::uint8_t> addresses{1};  // the controllers on the line, as given
    FaultConfig faults;
    std::string link;    // symbolic link to the pseudo-terminal, if any
    std::string device;  // existing serial device instead of a pseudo-terminal
    int baud = 9600;     // line speed of --device
    int pace = -1;       // pacing rate; -1: 9600 on a pseudo-terminal, off on a device
    double turnaroundMs = 10;
    int lineBaud = 0;         // the controllers' line speed on a pseudo-terminal; 0: any
    std::string tap;          // symbolic link to the listening pseudo-terminal, if any
    std::string control;      // named pipe for control commands, if any
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

// Whether the system gives the simulator pseudo-terminals and named pipes, which
// --link, --tap, --line-baud and --control need. Windows has neither: there the
// simulator answers on an existing serial port (--device COMn) only.
#ifdef _WIN32
inline constexpr bool kPseudoTerminals = false;
#else
inline constexpr bool kPseudoTerminals = true;
#endif

ParseResult ParseOptions(const std::vector<std::string>& args,
                         bool pseudoTerminals = kPseudoTerminals);

// One configuration per controller on the line. With a single address it is
// `controller` as given. With several, each is told apart: its name, software
// version and vendor end in " #ADDR" (the text before cut so that the field
// still fits) and its plant is seeded with seed + address.
std::vector<ControllerConfig> ControllerConfigs(const Options& o);
std::string HelpText();

}  // namespace acsim
