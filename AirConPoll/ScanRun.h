// AirConPoll --scan: the scan of rates and addresses on the poller's own loop, one line
// per controller found on standard output, what it does on standard error.
#pragma once

#include <ostream>

#include "EventLoop.h"
#include "Options.h"
#include "Scan.h"

namespace airconpoll {

// Runs the scan to its end or to a request to stop the loop (SIGINT, SIGTERM); the port's
// settings before the scan are put back before it closes. Exit status: 0 at least one
// controller found, 1 none (or the port failed).
int RunScan(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out, std::ostream& Err);

// "9600 bit/s 8N1, address 7, protocol 1.0, name "AC-2000", software "12", vendor "ACME""
std::string ScanLine(const aircon::TScanFound& Found, std::string_view Format);
// {"rate":9600,"format":"8N1","addr":7,"rtn":0,"protocol_version":"1.0",...}
std::string ScanJson(const aircon::TScanFound& Found, std::string_view Format);

}  // namespace airconpoll
