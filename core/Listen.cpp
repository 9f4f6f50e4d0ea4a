#include "Listen.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "Model.h"
#include "Monitor.h"

namespace aircon {

namespace {

// The commands whose INFO has one fixed length (remote control, parameter writes, the
// user-defined command 0x80); every other command code reads and carries no INFO or the
// unit index.
bool FixedLengthCommand(std::uint8_t Code) {
    return TDH::GetCmdInfoLen(Code) != 0;
}

}  // namespace

TFrameKind ClassifyByContent(std::uint8_t Code, std::size_t InfoSize) {
    if (Code <= 0x06) return TFrameKind::Reply;
    if (FixedLengthCommand(Code)) {
        return InfoSize == TDH::GetCmdInfoLen(Code) ? TFrameKind::Command
                                                    : TFrameKind::UnknownCommand;
    }
    if (Code >= 0x40 && Code <= 0x7F && InfoSize <= 1) return TFrameKind::Command;
    return TFrameKind::UnknownCommand;
}

TListener::TListener(IClock& Clock, TListenSettings Settings)
    : FClock(Clock), FSettings(Settings), FPairTimer(Clock, 0, false) {
    FDH.OnRecDHFrame = [this](TDH&, std::span<const std::uint8_t> Frame) { FrameCut(Frame); };
    // Bytes that belong to no frame, told in their place on the line: before the frame
    // they preceded, or at the end of the block.
    FDH.OnRecDHNoise = [this](TDH&, std::span<const std::uint8_t> Bytes) {
        FNoise += Bytes.size();
        const TNoise e{FBlockAt, Bytes.size(), Bytes};
        Notify([&](IMonitorObserver& o) { o.OnNoise(e); });
    };
    FPairTimer.OnTimer = [this] { Expire(); };
}

TListener::~TListener() = default;

void TListener::AddObserver(IMonitorObserver& Observer) {
    FObservers.push_back(&Observer);
}
void TListener::RemoveObserver(IMonitorObserver& Observer) {
    std::erase(FObservers, &Observer);
}
void TListener::AddListenObserver(IListenObserver& Observer) {
    FListenObservers.push_back(&Observer);
}
void TListener::RemoveListenObserver(IListenObserver& Observer) {
    std::erase(FListenObservers, &Observer);
}

// Each observer that is still added when its turn comes is called once; the first
// failure leaves after the others were called.
template <class F>
void TListener::Notify(F&& Call) {
    const std::vector<IMonitorObserver*> all = FObservers;
    std::exception_ptr failure;
    for (IMonitorObserver* o : all) {
        if (std::find(FObservers.begin(), FObservers.end(), o) == FObservers.end()) continue;
        try {
            Call(*o);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

template <class F>
void TListener::NotifyListen(F&& Call) {
    const std::vector<IListenObserver*> all = FListenObservers;
    std::exception_ptr failure;
    for (IListenObserver* o : all) {
        if (std::find(FListenObservers.begin(), FListenObservers.end(), o) ==
            FListenObservers.end())
            continue;
        try {
            Call(*o);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

TStamp TListener::Stamp() const {
    return TStamp{FClock.Now(), FClock.WallNow()};
}

void TListener::LinkOpened(std::string Port) {
    FWaiting.reset();
    FExpired.reset();
    FPairTimer.SetEnabled(false);
    FOpen = true;
    const TLinkOpened e{Stamp(), std::move(Port)};
    Notify([&](IMonitorObserver& o) { o.OnLinkOpened(e); });
}

void TListener::LinkClosed() {
    FPairTimer.SetEnabled(false);
    FWaiting.reset();
    if (!FOpen) return;
    FOpen = false;
    const TLinkClosed e{Stamp()};
    Notify([&](IMonitorObserver& o) { o.OnLinkClosed(e); });
}

void TListener::ReceiveData(std::span<const std::uint8_t> Block) {
    if (FInReceive) throw std::logic_error("TListener::ReceiveData called from its own event");
    FInReceive = true;
    struct TDone {
        bool& flag;
        ~TDone() { flag = false; }
    } done{FInReceive};

    FBlockAt = Stamp();
    // A command whose time-out passed before this block is missing, whatever comes now
    // (the timer may not have had its turn yet).
    if (FWaiting && FBlockAt.Time - FWaiting->SeenAt > FSettings.PairTimeout) Expire();
    FDH.ReceiveData(Block);
}

void TListener::FrameCut(std::span<const std::uint8_t> Frame) {
    const std::optional<TParsedFrame> parsed = ParseFrame(Frame);
    if (!parsed) {
        const TFrameCheck check = CheckFrameReason(Frame);
        const TFrameReceived f{FBlockAt, Frame, check, std::nullopt, false};
        Notify([&](IMonitorObserver& o) { o.OnFrameReceived(f); });
        const TFrameAnatomy anatomy = DissectFrame(Frame);
        const TErrorFrame e{FBlockAt, Frame, check, anatomy.Addr};
        ++FTotals.ErrorFrames;
        if (anatomy.Addr) ++Count(*anatomy.Addr).ErrorFrames;
        NotifyListen([&](IListenObserver& o) { o.OnErrorFrame(e); });
        return;
    }
    const TDH_Header h = parsed->Header;
    const TFrameKind byContent = ClassifyByContent(h.CID2, parsed->Info.size());
    // Place first: the frame from the waiting command's address and device type is its
    // reply unless it is plainly a command of its own.
    const bool fromWaiting =
        FWaiting && FWaiting->Header.Addr == h.Addr && FWaiting->Header.CID1 == h.CID1;
    if (fromWaiting && (h.CID2 >= 0x80 || byContent != TFrameKind::Command)) {
        Reply(Frame, *parsed);
        return;
    }
    if (byContent == TFrameKind::Reply) {
        Reply(Frame, *parsed);
        return;
    }
    Command(Frame, *parsed, byContent == TFrameKind::Command);
}

void TListener::Command(std::span<const std::uint8_t> Frame, const TParsedFrame& Parsed,
                        bool Known) {
    const TDH_Header h = Parsed.Header;
    bool overlap = false;
    if (FWaiting) {
        overlap = FBlockAt.Time - FWaiting->SeenAt < FSettings.OverlapGap;
        EndWait(FBlockAt);
    }
    const TFrameReceived f{FBlockAt, Frame, TFrameCheck::Ok, std::nullopt, false};
    Notify([&](IMonitorObserver& o) { o.OnFrameReceived(f); });
    TListenCounts& c = Count(h.Addr);
    ++FTotals.Commands;
    ++c.Commands;
    if (!Known) {
        ++FTotals.UnknownCommands;
        ++c.UnknownCommands;
    }
    if (overlap) {
        ++FTotals.Overlaps;
        ++c.Overlaps;
    }
    if (h.CID1 != TMonitor::DeviceCID1) {
        ++FTotals.Foreign;
        ++c.Foreign;
    }
    TIntCMD item{h.CID2, 0, 0};
    if (!Parsed.Info.empty()) item.Param = Parsed.Info[0];
    if (Parsed.Info.size() >= 3) {
        item.Value = static_cast<std::uint16_t>((Parsed.Info[1] << 8) | Parsed.Info[2]);
    }
    FWaiting = TWaiting{h, item, FBlockAt.Time};
    FExpired.reset();
    FPairTimer.SetEnabled(false);
    FPairTimer.SetInterval(static_cast<int>(FSettings.PairTimeout.count()));
    FPairTimer.SetEnabled(true);
    const TCommandSeen e{FBlockAt, h, Parsed.Info, Frame, Known, overlap};
    NotifyListen([&](IListenObserver& o) { o.OnCommandSeen(e); });
}

void TListener::Reply(std::span<const std::uint8_t> Frame, const TParsedFrame& Parsed) {
    const TDH_Header h = Parsed.Header;
    TListenCounts& c = Count(h.Addr);
    const bool ours = h.CID1 == TMonitor::DeviceCID1;
    if (!ours) {
        ++FTotals.Foreign;
        ++c.Foreign;
    }
    const bool paired =
        FWaiting && FWaiting->Header.Addr == h.Addr && FWaiting->Header.CID1 == h.CID1;
    if (!paired) {
        const TFrameReceived f{FBlockAt, Frame, TFrameCheck::Ok, std::nullopt, false};
        Notify([&](IMonitorObserver& o) { o.OnFrameReceived(f); });
        ++FTotals.Unpaired;
        ++c.Unpaired;
        const bool late =
            !FWaiting && FExpired && FExpired->Addr == h.Addr && FExpired->CID1 == h.CID1;
        const TUnpairedReply e{FBlockAt, h, Frame,
                               FWaiting ? TUnpairedReason::OtherAddress
                               : late   ? TUnpairedReason::TooLate
                                        : TUnpairedReason::NoCommand,
                               Parsed.Info};
        FExpired.reset();
        NotifyListen([&](IListenObserver& o) { o.OnUnpairedReply(e); });
        return;
    }
    const TWaiting command = *FWaiting;
    FWaiting.reset();
    FPairTimer.SetEnabled(false);
    ++FTotals.Replies;
    ++c.Replies;

    const TFrameReceived f{FBlockAt, Frame, TFrameCheck::Ok,
                           std::chrono::duration_cast<Millis>(FBlockAt.Time - command.SeenAt),
                           false};
    Notify([&](IMonitorObserver& o) { o.OnFrameReceived(f); });

    const std::uint8_t cid2 = command.Header.CID2;
    const std::uint8_t rtn = h.CID2;
    if (!ours) {
        const TForeignReply e{FBlockAt, h, cid2, Frame, Parsed.Info};
        NotifyListen([&](IListenObserver& o) { o.OnForeignReply(e); });
        return;
    }
    // Decoded exactly as a reply to a command of our own.
    const bool hasDecoder = HasDecoder(cid2);
    const TDH_Header header{h.Ver, h.Addr, h.CID1, cid2};
    std::optional<TReplyData> data;
    TDecodeResult result = TDecodeResult::Refused;
    if (rtn == 0) {
        if (hasDecoder) data = DecodeReply(cid2, header, Parsed.Info);
        result = !hasDecoder ? TDecodeResult::NoDecoder
                 : data      ? TDecodeResult::Decoded
                             : TDecodeResult::Malformed;
    } else {
        ++FTotals.Refused;
        ++c.Refused;
    }
    TReplyReceived r{FBlockAt, h, rtn, cid2, Parsed.Info, hasDecoder, Frame, {}, result, nullptr};
    r.Verdict.AddressAsAsked = true;
    r.Verdict.InTime = true;
    if (data) r.Data = &*data;
    Notify([&](IMonitorObserver& o) { o.OnReplyReceived(r); });
    if (!data) return;
    ++FTotals.Decoded;
    ++c.Decoded;
    const TDecodedReply d{FBlockAt, header, cid2, std::move(*data)};
    Notify([&](IMonitorObserver& o) { o.OnReplyDecoded(d); });
}

void TListener::Expire() {
    FPairTimer.SetEnabled(false);
    if (!FWaiting) return;
    const TDH_Header header = FWaiting->Header;
    EndWait(Stamp());
    FExpired = header;
}

void TListener::EndWait(TStamp At) {
    const TWaiting command = *FWaiting;
    FWaiting.reset();
    FPairTimer.SetEnabled(false);
    ++FTotals.Missing;
    ++Count(command.Header.Addr).Missing;
    const TListenMissing e{At, command.Header, command.SeenAt};
    NotifyListen([&](IListenObserver& o) { o.OnListenMissing(e); });
}

// ---------------------------------------------------------------------------

TListenRelay::TListenRelay(TListener& Listener, IMonitorObserver& Target)
    : FListener(Listener), FTarget(Target) {
    FListener.AddObserver(static_cast<IMonitorObserver&>(*this));
    FListener.AddListenObserver(static_cast<IListenObserver&>(*this));
}

TListenRelay::~TListenRelay() {
    FListener.RemoveObserver(static_cast<IMonitorObserver&>(*this));
    FListener.RemoveListenObserver(static_cast<IListenObserver&>(*this));
}

void TListenRelay::OnLinkOpened(const TLinkOpened& e) {
    FHeld.reset();
    FTarget.OnLinkOpened(e);
}

void TListenRelay::OnLinkClosed(const TLinkClosed& e) {
    FHeld.reset();
    FTarget.OnLinkClosed(e);
}

void TListenRelay::OnFrameReceived(const TFrameReceived& e) {
    FHeld.reset();
    // A damaged frame is only a damaged frame; a good one waits to be told apart.
    if (e.Check != TFrameCheck::Ok)
        FTarget.OnFrameReceived(e);
    else
        FHeld = e;
}

void TListenRelay::PassHeld(bool Late) {
    if (!FHeld) return;
    TFrameReceived f = *FHeld;
    FHeld.reset();
    f.Late = Late;
    FTarget.OnFrameReceived(f);
}

void TListenRelay::PassWithoutRecord(const TStamp& At, const TDH_Header& Header, std::uint8_t CID2,
                                     std::span<const std::uint8_t> Frame,
                                     std::span<const std::uint8_t> Info, TReplyVerdict Verdict) {
    const TReplyReceived r{
        At,     Header, Header.CID2, CID2, Info, false, Frame, Verdict, TDecodeResult::NoDecoder,
        nullptr};
    FTarget.OnReplyReceived(r);
}

void TListenRelay::OnReplyReceived(const TReplyReceived& e) {
    PassHeld(false);
    if (FAddress == e.Header.Addr) {
        FTarget.OnReplyReceived(e);
        return;
    }
    PassWithoutRecord(e.At, e.Header, e.LastCID2, e.Frame, e.Info, TReplyVerdict{false, true});
}

void TListenRelay::OnReplyDecoded(const TDecodedReply& e) {
    if (FAddress == e.Header.Addr) FTarget.OnReplyDecoded(e);
}

void TListenRelay::OnNoise(const TNoise& e) {
    FTarget.OnNoise(e);
}

void TListenRelay::OnCommandSeen(const TCommandSeen& e) {
    FHeld.reset();  // the command's own frame: its row is the command's
    TCommandSent c{e.At,          TIntCMD{e.Header.CID2, 0, 0},
                   e.Header.Addr, e.Header.CID2,
                   e.Frame,       static_cast<std::int32_t>(e.Frame.size()),
                   true};
    if (!e.Info.empty()) c.Item.Param = e.Info[0];
    if (e.Info.size() >= 3) c.Item.Value = static_cast<std::uint16_t>((e.Info[1] << 8) | e.Info[2]);
    FTarget.OnCommandSent(c);
}

void TListenRelay::OnListenMissing(const TListenMissing& e) {
    const Millis waited = std::min(std::chrono::duration_cast<Millis>(e.At.Time - e.SeenAt),
                                   FListener.Settings().PairTimeout);
    const TReplyMissing m{e.At, e.Header.CID2, TIntCMD{e.Header.CID2, 0, 0}, e.SeenAt, waited};
    FTarget.OnReplyMissing(m);
}

void TListenRelay::OnUnpairedReply(const TUnpairedReply& e) {
    PassHeld(true);
    PassWithoutRecord(e.At, e.Header, 0xFF, e.Frame, e.Info, TReplyVerdict{false, false});
}

void TListenRelay::OnForeignReply(const TForeignReply& e) {
    PassHeld(false);
    PassWithoutRecord(e.At, e.Header, e.CID2, e.Frame, e.Info, TReplyVerdict{false, true});
}

const std::vector<TBaudRate>& TSpeedFinder::CommonRates() {
    static const std::vector<TBaudRate> rates{
        TBaudRate::Br9600, TBaudRate::Br19200, TBaudRate::Br4800,  TBaudRate::Br2400,
        TBaudRate::Br1200, TBaudRate::Br38400, TBaudRate::Br57600, TBaudRate::Br115200};
    return rates;
}

TSpeedFinder::TSpeedFinder(IClock& Clock, TListener& Listener,
                           std::function<void(TBaudRate)> SetRate, std::vector<TBaudRate> Rates,
                           Millis Dwell, int Needed)
    : FListener(Listener),
      FSetRate(std::move(SetRate)),
      FRates(Rates.empty() ? CommonRates() : std::move(Rates)),
      FTimer(Clock, static_cast<int>(Dwell.count()), false),
      FNeeded(std::max(Needed, 1)) {
    FTimer.OnTimer = [this] { Next(); };
}

TSpeedFinder::~TSpeedFinder() {
    if (FRunning) FListener.RemoveObserver(*this);
}

void TSpeedFinder::Start() {
    if (FRunning) return;
    FRunning = true;
    FFound.reset();
    FIndex = 0;
    FGood = 0;
    FListener.AddObserver(*this);
    FSetRate(FRates[0]);
    FTimer.SetEnabled(true);
}

void TSpeedFinder::OnFrameReceived(const TFrameReceived& Frame) {
    if (!FRunning) return;
    // Bytes at a wrong rate rarely make a frame at all, and never many in a row that
    // pass both checksums.
    FGood = Frame.Check == TFrameCheck::Ok ? FGood + 1 : 0;
    if (FGood >= FNeeded) Finish(FRates[FIndex]);
}

void TSpeedFinder::Next() {
    if (!FRunning) return;
    FGood = 0;
    if (++FIndex >= FRates.size()) {
        Finish(std::nullopt);
        return;
    }
    FSetRate(FRates[FIndex]);
    // The codec may hold the tail of a frame heard at the last rate: it is cut off by
    // the next "~".
    FTimer.SetEnabled(false);
    FTimer.SetEnabled(true);
}

void TSpeedFinder::Finish(std::optional<TBaudRate> Rate) {
    FRunning = false;
    FTimer.SetEnabled(false);
    FListener.RemoveObserver(*this);
    FFound = Rate;
    if (Rate && FSetRate) FSetRate(*Rate);
    if (OnDone) OnDone(Rate);
}

}  // namespace aircon
