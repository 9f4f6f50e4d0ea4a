#include "Scan.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "Model.h"

namespace aircon {

double BitsPerCharacter(TDataBits DataBits, TParityBits Parity, TStopBits StopBits) {
    const double data = 5 + static_cast<int>(DataBits);
    const double parity = Parity == TParityBits::PrNone ? 0 : 1;
    const double stop = StopBits == TStopBits::SbOneStopBit     ? 1
                        : StopBits == TStopBits::SbOne5StopBits ? 1.5
                                                                : 2;
    return 1 + data + parity + stop;
}

Millis LineTime(int Bytes, std::int32_t Rate, double BitsPerChar) {
    if (Rate <= 0) return Millis(0);
    return Millis(static_cast<Millis::rep>(std::ceil(Bytes * BitsPerChar * 1000.0 / Rate)));
}

Millis ProbeWait(std::int32_t Rate, double BitsPerChar, Millis Margin) {
    return LineTime(ScanCommandBytes, Rate, BitsPerChar) + Margin;
}

Millis IdentityWait(std::int32_t Rate, double BitsPerChar, Millis Margin) {
    return LineTime(ScanCommandBytes + ScanLongestReplyBytes, Rate, BitsPerChar) + Margin;
}

TScan::TScan(IClock& Clock, IScanLine& Line, TScanSettings Settings)
    : FLine(Line), FSettings(std::move(Settings)), FTimer(Clock, 0, false) {
    FTimer.OnTimer = [this] { WaitOver(); };
}

TScan::~TScan() {
    if (FRunning) {
        // Ends as a stop would, without telling anyone.
        OnFinished = nullptr;
        Finish(TScanEnd::Stopped);
    }
}

std::int32_t TScan::Rate() const {
    return BaudRateValue(FSettings.Rates[FRateIndex]);
}

Millis TScan::PlannedTime() const {
    const int count = FSettings.LastAddr - FSettings.FirstAddr + 1;
    Millis total{};
    for (std::size_t i = 0; i < FSettings.Rates.size(); ++i)
        total += Listening(i) +
                 count * ProbeWait(BaudRateValue(FSettings.Rates[i]), FBits, FSettings.Margin);
    return total;
}

// The settling and the listening before rate I.
Millis TScan::Listening(std::size_t I) const {
    if (FSettings.Listen.count() <= 0) return Millis(0);
    const std::int32_t before =
        I == 0 ? BaudRateValue(FSavedLine.BaudRate) : BaudRateValue(FSettings.Rates[I - 1]);
    return IdentityWait(before > 0 ? before : BaudRateValue(FSettings.Rates[I]), FBits,
                        FSettings.Margin) +
           FSettings.Listen;
}

bool TScan::Start() {
    TMonitor& monitor = FLine.Monitor();
    if (FRunning || !FLine.IsOpen()) return false;
    if (FSettings.Rates.empty() || FSettings.FirstAddr > FSettings.LastAddr) return false;
    FBits = BitsPerCharacter(FSettings.DataBits, FSettings.Parity, FSettings.StopBits);
    FSavedLine = FLine.Line();
    FSavedPoll = monitor.PollTimer().Enabled();
    FSavedSend = monitor.SendTimer().Enabled();
    FRunning = true;
    monitor.AddObserver(*this);
    monitor.SetHeld(true);
    HoldPolling();
    FFound.clear();
    FToIdentify.clear();
    FIdentifying.reset();
    FStray = 0;
    FConfirmed = false;
    FConfirming = false;
    FRateIndex = 0;
    const int count = FSettings.LastAddr - FSettings.FirstAddr + 1;
    FProgress = TScanProgress{0, count * static_cast<int>(FSettings.Rates.size()), 0, 0, {}};
    BeginRate();
    return true;
}

// Polling stays paused however the host touched it meanwhile (automatic polling switched
// on, a queued command that enables the send timer): what it asked for is given back when
// the scan ends.
void TScan::HoldPolling() {
    TMonitor& monitor = FLine.Monitor();
    if (monitor.PollTimer().Enabled()) {
        FSavedPoll = true;
        monitor.PollTimer().SetEnabled(false);
    }
    if (monitor.SendTimer().Enabled()) {
        FSavedSend = true;
        monitor.SendTimer().SetEnabled(false);
    }
}

void TScan::BeginRate() {
    FPrevRate = FRateIndex == 0 ? BaudRateValue(FSavedLine.BaudRate)
                                : BaudRateValue(FSettings.Rates[FRateIndex - 1]);
    TLineSettings line = FSavedLine;
    line.BaudRate = FSettings.Rates[FRateIndex];
    line.DataBits = FSettings.DataBits;
    line.Parity = FSettings.Parity;
    line.StopBits = FSettings.StopBits;
    FLine.SetLine(line);
    if (!FRunning) return;  // the line failed to take the settings and closed
    FAddr = FSettings.FirstAddr;
    FPrev.reset();
    if (FSettings.Listen.count() > 0 && !FConfirmed) {
        FPhase = TPhase::Settle;
        FHeard = TOtherMaster{Rate(), 0, 0};
        Report();
        Arm(IdentityWait(FPrevRate > 0 ? FPrevRate : Rate(), FBits, FSettings.Margin));
        return;
    }
    Probe();
}

void TScan::Arm(Millis Wait) {
    FTimer.SetEnabled(false);
    FTimer.SetInterval(static_cast<int>(std::max<Millis::rep>(1, Wait.count())));
    FTimer.SetEnabled(true);
}

void TScan::Report() {
    FProgress.Rate = Rate();
    FProgress.Addr = static_cast<std::uint8_t>(FAddr);
    Millis left{};
    const int count = FSettings.LastAddr - FSettings.FirstAddr + 1;
    for (std::size_t i = FRateIndex; i < FSettings.Rates.size(); ++i) {
        const Millis wait = ProbeWait(BaudRateValue(FSettings.Rates[i]), FBits, FSettings.Margin);
        const int remaining = i == FRateIndex ? FSettings.LastAddr - FAddr + 1 : count;
        left += remaining * wait;
        if (!FConfirmed && (i > FRateIndex || FPhase == TPhase::Settle))
            left += Listening(i);
        else if (!FConfirmed && FPhase == TPhase::Listen)
            left += FSettings.Listen;
    }
    FProgress.Left = left;
    if (OnProgress) OnProgress(FProgress);
}

void TScan::Probe() {
    FPhase = TPhase::Probe;
    FStretched = false;
    HoldPolling();
    Report();
    FHeldAtSend = FLine.Monitor().Codec().HeldSize();
    Arm(ProbeWait(Rate(), FBits, FSettings.Margin));
    FLine.Monitor().SendNoDataCmd(static_cast<std::uint8_t>(FAddr), CID2::Version);
}

void TScan::WaitOver() {
    FTimer.SetEnabled(false);
    switch (FPhase) {
        case TPhase::Settle:
            FPhase = TPhase::Listen;
            Arm(FSettings.Listen);
            return;
        case TPhase::Listen:
            if (FHeard.Frames > 0 || FHeard.Noise > 0) {
                FConfirming = true;
                if (OnOtherMaster) OnOtherMaster(FHeard);
                return;
            }
            Probe();
            return;
        case TPhase::Probe:
            // A reply on its way: give it the time the longest reply takes on the line.
            if (!FStretched && FLine.Monitor().Codec().HeldSize() > 0) {
                FStretched = true;
                Arm(LineTime(ScanLongestReplyBytes, Rate(), FBits) + FSettings.Margin);
                return;
            }
            ProbeDone();
            return;
        case TPhase::Identify:
            NextIdentity();
            return;
        case TPhase::Idle:
            return;
    }
}

void TScan::Continue() {
    if (!FRunning || !FConfirming) return;
    FConfirming = false;
    FConfirmed = true;
    Probe();
}

void TScan::ProbeDone() {
    FTimer.SetEnabled(false);
    ++FProgress.Done;
    if (!FToIdentify.empty() || FIdentifying) {
        FPhase = TPhase::Identify;
        if (!FIdentifying) NextIdentity();
        return;
    }
    FPrev = static_cast<std::uint8_t>(FAddr);
    if (FAddr < FSettings.LastAddr) {
        ++FAddr;
        Probe();
        return;
    }
    if (FRateIndex + 1 < FSettings.Rates.size()) {
        ++FRateIndex;
        BeginRate();
        return;
    }
    FProgress.Left = Millis(0);
    if (OnProgress) OnProgress(FProgress);
    Finish(TScanEnd::Completed);
}

// Asks the next identity question: 0x50, then 0x51, of each controller found in turn;
// after the last, the scan goes on with the next address.
void TScan::NextIdentity() {
    FTimer.SetEnabled(false);
    if (FIdentifying && FIdentityCid2 == CID2::Address) {
        FIdentityCid2 = CID2::VendorInfo;
    } else {
        if (FIdentifying) {
            if (OnIdentified) OnIdentified(FFound[*FIdentifying]);
            FIdentifying.reset();
        }
        if (FToIdentify.empty()) {
            // Back to the addresses: the probe of FAddr is done already.
            --FProgress.Done;
            ProbeDone();
            return;
        }
        FIdentifying = FToIdentify.front();
        FToIdentify.erase(FToIdentify.begin());
        FIdentityCid2 = CID2::Address;
    }
    FPhase = TPhase::Identify;
    HoldPolling();
    Arm(IdentityWait(Rate(), FBits, FSettings.Margin));
    FLine.Monitor().SendNoDataCmd(FFound[*FIdentifying].Addr, FIdentityCid2);
}

void TScan::Book(std::uint8_t Addr, const TReplyReceived& e, bool Late) {
    TScanFound f;
    f.Rate = Rate();
    f.Addr = Addr;
    f.Rtn = e.Rtn;
    f.Ver = e.Header.Ver;
    f.Late = Late;
    FFound.push_back(f);
    FToIdentify.push_back(FFound.size() - 1);
    if (OnFound) OnFound(FFound.back());
}

void TScan::IdentityReply(const TReplyReceived& e) {
    TScanFound& f = FFound[*FIdentifying];
    if (e.Rtn == 0 && e.Data) {
        if (const auto* a = std::get_if<TDeviceAddress>(e.Data)) f.ReportedAddr = a->Addr;
        if (const auto* v = std::get_if<TVendorInfo>(e.Data)) {
            if (v->Fields[0]) f.Name = VendorFieldText(*v->Fields[0]);
            if (v->Fields[1]) f.SoftwareVersion = VendorFieldText(*v->Fields[1]);
            if (v->Fields[2]) f.Vendor = VendorFieldText(*v->Fields[2]);
        }
    }
    NextIdentity();
}

void TScan::OnFrameReceived(const TFrameReceived&) {
    if (FRunning && FPhase == TPhase::Listen && !FConfirming) ++FHeard.Frames;
}

void TScan::OnNoise(const TNoise& e) {
    if (FRunning && FPhase == TPhase::Listen && !FConfirming) FHeard.Noise += e.Count;
}

void TScan::OnReplyReceived(const TReplyReceived& e) {
    if (!FRunning || FPhase == TPhase::Listen || FPhase == TPhase::Settle || FPhase == TPhase::Idle)
        return;
    const std::uint8_t addr = e.Header.Addr;
    const bool known = std::any_of(FFound.begin(), FFound.end(), [&](const TScanFound& f) {
        return f.Addr == addr && f.Rate == Rate();
    });
    if (FPhase == TPhase::Identify && FIdentifying && FFound[*FIdentifying].Addr == addr &&
        e.LastCID2 == FIdentityCid2) {
        IdentityReply(e);
        return;
    }
    if (known) return;  // a repeated or late answer of a controller already listed
    if (addr == FAddr) {
        Book(addr, e, false);
        if (FPhase == TPhase::Probe) ProbeDone();
        return;
    }
    if (FPrev && addr == *FPrev) {
        Book(addr, e, true);
        return;
    }
    ++FStray;
}

void TScan::OnLinkClosed(const TLinkClosed&) {
    if (FRunning) Finish(TScanEnd::LinkClosed);
}

void TScan::Stop() {
    if (FRunning) Finish(TScanEnd::Stopped);
}

void TScan::Finish(TScanEnd End) {
    FTimer.SetEnabled(false);
    FRunning = false;
    FConfirming = false;
    FPhase = TPhase::Idle;
    TMonitor& monitor = FLine.Monitor();
    monitor.RemoveObserver(*this);
    monitor.SetHeld(false);
    if (End != TScanEnd::LinkClosed) {
        FLine.SetLine(FSavedLine);
        monitor.PollTimer().SetEnabled(FSavedPoll);
        monitor.SendTimer().SetEnabled(FSavedSend || !monitor.Queue().empty());
    }
    if (OnFinished) OnFinished(End);
}

}  // namespace aircon
