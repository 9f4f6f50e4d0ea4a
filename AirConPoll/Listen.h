// The poller as a listener (--listen): another master polls the line, the poller opens
// the port, writes nothing, and hands on what it hears: the decoded replies as JSON
// lines (the same lines as when polling, the address in each), the readings labelled by
// address and the counters of the other master's traffic in the metrics file. A capture
// file being replayed (--replay) goes through the same path.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

#include "Capture.h"
#include "EventLoop.h"
#include "Listen.h"
#include "Metrics.h"
#include "Options.h"
#include "Session.h"

namespace airconpoll {

// What a listener heard, as JSON lines and metrics.
class TListenOutput : public aircon::IMonitorObserver, public aircon::IListenObserver {
  public:
    // Json: where the JSON lines go (null: none).
    TListenOutput(std::string Port, std::ostream* Json);

    void OnLinkOpened(const aircon::TLinkOpened&) override;
    void OnLinkClosed(const aircon::TLinkClosed&) override;
    void OnReplyDecoded(const aircon::TDecodedReply& Reply) override;

    // The metrics file: the readings of every address heard, labelled addr, and the
    // counters of the listener.
    std::string Metrics(const aircon::TListener& Listener) const;
    bool JsonFailed() const { return FJson && !*FJson; }
    const std::map<std::uint8_t, TMetricsData>& Readings() const { return FReadings; }

  private:
    std::string FPort;
    std::ostream* FJson;
    bool FPortOpen = false;
    std::map<std::uint8_t, TMetricsData> FReadings;
};

// The program with --listen.
class TListenPoller {
  public:
    TListenPoller(const TPollOptions& Options, TEventLoop& Loop, std::ostream& Out,
                  std::ostream& Err);
    ~TListenPoller();
    TListenPoller(const TListenPoller&) = delete;
    TListenPoller& operator=(const TListenPoller&) = delete;

    int Run();

  private:
    void Log(const std::string& Line);
    void WriteMetrics();

    const TPollOptions FOptions;
    TEventLoop& FLoop;
    std::ostream& FErr;
    aircon::TSession FSession;
    TListenOutput FOutput;
    std::unique_ptr<aircon::TSpeedFinder> FFinder;
    std::unique_ptr<aircon::TCaptureWriter> FCapture;
    aircon::TTimer FMetricsTimer;
    std::pair<aircon::TListenCounts, std::uint64_t> FWritten;  // what the file shows
    bool FWrittenOpen = false;
    std::string FPortError;
    std::string FWriteError;
    int FExitStatus = -1;
};

// The program with --replay: the capture file's blocks into a listener, instantly or
// (Pace) at the pace they were recorded; JSON lines on Out, the metrics file at the end.
// Returns the exit status: 1 when the file cannot be read or is damaged (what came
// before the damage is still replayed).
int RunReplay(const TPollOptions& Options, std::ostream& Out, std::ostream& Err);

}  // namespace airconpoll
