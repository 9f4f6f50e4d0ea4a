// AirConPoll --params-save, --params-check, --params-apply: a parameter set saved from,
// compared with or written to the controller, on the poller's own loop. What differs and
// what became of each write goes to standard output, the rest to standard error.
#pragma once

#include <ostream>
#include <string>

#include "EventLoop.h"
#include "Options.h"
#include "ParamSet.h"

namespace airconpoll {

// Exit status of the parameter-set options.
enum TParamsExit : int {
    ParamsEqual = 0,      // saved; equal; written and verified
    ParamsDifferent = 1,  // different (check); not all written and verified (apply)
    ParamsBadFile = 3,    // the file cannot be read or written, or has a mistake
    ParamsFailed = 4,     // the port or the controller failed
};

int RunParams(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out, std::ostream& Err);

// "run_mode (运行模式设定, 0xC0): file 制冷, controller 制热"
std::string DifferenceLine(const aircon::TParamCompareRow& Row);
// "run_mode (运行模式设定, 0xC0): 制热 -> 制冷: written and verified"
std::string OutcomeLine(const aircon::TParamCompareRow& Row, const aircon::TParamResult& Result);

// Reads the reference of --params-reference; the errors, one a line, in Error when it is
// no good.
std::optional<aircon::TParamSet> LoadReference(const std::string& Path, std::string& Error);

}  // namespace airconpoll
