// A session for a job the poller runs once from its command line (the scan, the parameter
// sets): the line and address of the options, automatic polling off, the port bound to the
// poller's loop while the session lives.
#pragma once

#include <string>

#include "EventLoop.h"
#include "Options.h"
#include "Session.h"

namespace airconpoll {

class TJobSession {
  public:
    TJobSession(const TPollOptions& Options, TEventLoop& Loop);
    ~TJobSession();
    TJobSession(const TJobSession&) = delete;
    TJobSession& operator=(const TJobSession&) = delete;

    // Opens the port, polling off. False with the line for the log in Why: "cannot open
    // PORT: what the port reported".
    bool Open(std::string& Why);
    aircon::TSession& Session() { return FSession; }
    // What the port reported last, with the system's words; empty when it reported nothing.
    // A failure while open closes the session.
    const std::string& Failure() const { return FFailure; }
    // ": " and the failure, or nothing: for the end of a log line.
    std::string FailureSuffix() const { return FFailure.empty() ? "" : ": " + FFailure; }

  private:
    const std::string FPort;
    TEventLoop& FLoop;
    aircon::TSession FSession;
    std::string FFailure;
};

}  // namespace airconpoll
