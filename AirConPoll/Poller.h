// The poller: the host of one monitoring session (one serial port, one controller, or
// several controllers polled in turn on the line) on the poller's own loop, handing the
// readings on as a metrics file and JSON lines.
//
// A port that fails to open, or fails while open (the adapter pulled out), is closed and
// opened again by the session after 1, 2, 4, ... up to 30 seconds; the pauses start again
// at 1 second on a link where the controller has replied. With --once the port is opened
// once, one full read is made, and the verdict becomes the exit status.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <set>
#include <span>
#include <string>

#include "Capture.h"
#include "EventLoop.h"
#include "Fleet.h"
#include "OnceCheck.h"
#include "Options.h"
#include "ParamSet.h"
#include "PollState.h"
#include "Session.h"

namespace airconpoll {

class TPoller {
  public:
    // Out takes the JSON lines (and the metrics of --once without a file), Err the log.
    TPoller(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out, std::ostream& Err);
    ~TPoller();
    TPoller(const TPoller&) = delete;
    TPoller& operator=(const TPoller&) = delete;

    // Runs until the loop is asked to stop, or --once has its verdict; returns the exit
    // status. The metrics file is left with the last state (aircon_up 0 after a stop).
    int Run();

    static constexpr aircon::Millis FirstPause = aircon::TSession::FirstPause;
    static constexpr aircon::Millis LongestPause = aircon::TSession::LongestPause;

  private:
    class TJsonOut;

    void TryOpen();
    void Opened();
    void CloseLink();
    void ReopenPlanned(const aircon::TReopenPlan& Plan);
    void QueueReads(std::span<const std::uint8_t> Commands);
    void AfterEvents();
    void WriteMetrics(const std::string& Text);
    std::string MetricsText() const;
    bool CheckFleetOnce();
    std::string PollingText() const;
    bool CheckOnce();
    void PortFailure(const aircon::TPortFailure& Failure);
    void AnsweringChanged(aircon::TAnswering State);
    void Log(const std::string& Line);
    void Info(const std::string& Line);

    const TPollOptions FOptions;
    TEventLoop& FLoop;
    std::ostream& FOut;
    std::ostream& FErr;

    aircon::TSession FSession;
    TPollState FState;               // the controller, or the line of several
    std::unique_ptr<TFleet> FFleet;  // several controllers on the line
    std::unique_ptr<TJsonOut> FJson;
    std::unique_ptr<TOnceCheck> FOnce;
    aircon::TTimer FReadsTimer;
    std::unique_ptr<aircon::TCaptureWriter> FCapture;  // --capture
    std::optional<aircon::TParamSet> FReference;       // --params-reference

    std::string FPortError;          // the failure the port reported last
    std::string FWriteError;         // the last failure to write the metrics file
    int FExitStatus = -1;            // set when the poller is done
    std::set<unsigned> FStraysTold;  // kinds and addresses of strays told in the log
};

}  // namespace airconpoll
