#include "JobSession.h"

namespace airconpoll {

namespace {

aircon::TSessionSettings JobSettings(const TPollOptions& o) {
    aircon::TSessionSettings settings;
    settings.Line = aircon::TLineSettings{o.Port, o.BaudRate, o.DataBits, o.Parity, o.StopBits};
    settings.Poll =
        aircon::TPollSettings{static_cast<std::uint8_t>(o.Addr), o.IntervalMs, o.TimeoutMs, false};
    return settings;
}

}  // namespace

TJobSession::TJobSession(const TPollOptions& Options, TEventLoop& Loop)
    : FPort(Options.Port),
      FLoop(Loop),
      FSession(Loop.Clock(), JobSettings(Options), nullptr, &Loop, nullptr, "AirConPoll") {
    FLoop.SetPort(&FSession.Port());
    FSession.OnPortFailure = [this](const aircon::TPortFailure& f) {
        FFailure = f.Message;
        if (!f.WinMessage.empty()) FFailure += " (" + f.WinMessage + ")";
        if (f.WhileOpen) FSession.Close();
    };
}

TJobSession::~TJobSession() {
    FLoop.SetPort(nullptr);
}

bool TJobSession::Open(std::string& Why) {
    if (!FSession.Open().Opened()) {
        Why = "cannot open " + FPort + FailureSuffix();
        return false;
    }
    FSession.Monitor().PollTimer().SetEnabled(false);
    return true;
}

}  // namespace airconpoll
