#include "Monitor.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>

#include "Frame.h"

namespace aircon {

std::string InvalidIntegerMessage(std::string_view Text) {
    return "'" + std::string(Text) + "' is not a valid integer value";
}

struct TMonitor::TImpl {
    TImpl(IClock& AClock, ILink& ALink, IPollSettings& ASettings)
        : Clock(AClock),
          Link(ALink),
          Settings(ASettings),
          Timer1(AClock, 500, true),
          Timer2(AClock, 500, false) {
        Timer1.OnTimer = [this] { PollTick(); };
        Timer2.OnTimer = [this] { SendTick(); };
        DH.OnRecDHFrame = [this](TDH&, std::span<const std::uint8_t> Frame) { FrameCut(Frame); };
        DH.OnRecDHCorrectFrame = [this](TDH&, std::span<const std::uint8_t> Frame) {
            CorrectFrame(Frame);
        };
        DH.OnRecDHNoise = [this](TDH&, std::span<const std::uint8_t> Bytes) { Noise(Bytes); };
    }

    IClock& Clock;
    ILink& Link;
    IPollSettings& Settings;
    TTimer Timer1;  // poll timer
    TTimer Timer2;  // send timer
    TDH DH;
    TReplyDecoder Decoder = DecodeReply;
    std::uint8_t LastCID2 = 0xFF;
    std::optional<std::uint8_t> LastAddr;  // where the last command on this link went

    // The queue and the poll step. Items leave from the head, so the last poll item
    // appended is still waiting while fewer items have left than had been appended
    // with it.
    std::deque<TIntCMD> Queue;
    std::int32_t QueryStep = 0;
    std::uint64_t Appended = 0;
    std::uint64_t Removed = 0;
    std::uint64_t LastPollSerial = 0;
    std::uint64_t LinkGeneration = 0;  // counts the closes of the link
    bool LinkOpen = false;
    bool Closing = false;
    bool Held = false;  // a job borrows the line

    // The last command written, until its first frame arrives.
    struct TPending {
        TIntCMD Item;
        std::uint8_t CID2 = 0;
        SteadyTime SentAt{};
        std::optional<Millis> Timeout;  // the send timer's interval after its write
        bool FrameSeen = false;
        bool ReportedMissing = false;
    };
    std::optional<TPending> Pending;

    // The block being taken in.
    bool InReceive = false;
    TStamp BlockAt;
    std::optional<TParsedFrame> FrameParsed;  // the frame being reported, when it passed
    bool FrameInTime = false;                 // it is the first frame after a command, in time

    std::vector<IMonitorObserver*> Observers;
    std::unique_ptr<IMonitorObserver> RelayObserver;  // made on first use
    int NotifyDepth = 0;
    bool ObserversRemoved = false;

    TStamp Stamp() const { return TStamp{Clock.Now(), Clock.WallNow()}; }

    // Calls F on every observer registered when the event began. Observers removed
    // during the event are skipped; observers added during it hear the next one.
    template <class F>
    void Notify(F&& Call) {
        ++NotifyDepth;
        struct TDone {
            TImpl& impl;
            ~TDone() {
                if (--impl.NotifyDepth == 0 && impl.ObserversRemoved) {
                    std::erase(impl.Observers, nullptr);
                    impl.ObserversRemoved = false;
                }
            }
        } done{*this};
        const std::size_t n = Observers.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (IMonitorObserver* o = Observers[i]) Call(*o);
        }
    }

    // Hands each event on to the monitor's observers, by the monitor's own rules.
    class TRelay : public IMonitorObserver {
      public:
        explicit TRelay(TImpl& Impl) : FImpl(Impl) {}
        void OnLinkOpened(const TLinkOpened& e) override {
            Pass(e, &IMonitorObserver::OnLinkOpened);
        }
        void OnLinkClosed(const TLinkClosed& e) override {
            Pass(e, &IMonitorObserver::OnLinkClosed);
        }
        void OnCommandSent(const TCommandSent& e) override {
            Pass(e, &IMonitorObserver::OnCommandSent);
        }
        void OnFrameReceived(const TFrameReceived& e) override {
            Pass(e, &IMonitorObserver::OnFrameReceived);
        }
        void OnReplyReceived(const TReplyReceived& e) override {
            Pass(e, &IMonitorObserver::OnReplyReceived);
        }
        void OnReplyDecoded(const TDecodedReply& e) override {
            Pass(e, &IMonitorObserver::OnReplyDecoded);
        }
        void OnReplyMissing(const TReplyMissing& e) override {
            Pass(e, &IMonitorObserver::OnReplyMissing);
        }
        void OnNoise(const TNoise& e) override { Pass(e, &IMonitorObserver::OnNoise); }

      private:
        template <class E>
        void Pass(const E& Event, void (IMonitorObserver::*Handler)(const E&)) {
            FImpl.Notify([&](IMonitorObserver& o) { (o.*Handler)(Event); });
        }
        TImpl& FImpl;
    };

    void Append(TIntCMD Item) {
        Queue.push_back(Item);
        ++Appended;
    }

    void ReleaseQueue() {
        Queue.clear();
        Removed = Appended;
    }

    void PollTick() {
        if (!Link.Connected() || !Settings.AutoPoll() || Held) return;
        // One poll command waits at a time: while the one of an earlier tick is still
        // queued, the tick adds nothing, so a short poll interval cannot grow a backlog.
        if (LastPollSerial <= Removed) {
            static constexpr std::uint8_t steps[] = {CID2::Analog, CID2::Switches, CID2::Alarms};
            const std::int32_t step = QueryStep >= 0 && QueryStep < 3 ? QueryStep : 2;
            Append(TIntCMD{steps[step], 0, 0});
            LastPollSerial = Appended;
            QueryStep = (step + 1) % 3;
        }
        const auto interval = Settings.IntervalMs();
        if (!interval) return;
        Timer1.SetInterval(*interval);
        const auto timeout = Settings.TimeoutMs();
        if (!timeout) return;
        Timer2.SetInterval(*timeout);
        Timer2.SetEnabled(true);
    }

    void SendTick() {
        ReportMissing();
        Timer2.SetEnabled(false);
        if (Queue.empty() || Held) return;
        // A copy: the send may close the link, which releases every queued item.
        const TIntCMD item = Queue.front();
        const auto addr = Settings.Address();
        if (!addr) return;

        const std::uint64_t generation = LinkGeneration;
        SendItem(item, *addr);
        if (generation != LinkGeneration) return;  // the link closed during the send
        if (!Queue.empty()) {
            Queue.pop_front();
            ++Removed;
        }
        const auto timeout = Settings.TimeoutMs();
        if (!timeout) return;
        Timer2.SetInterval(*timeout);
        Timer2.SetEnabled(true);
        if (Pending && generation == LinkGeneration) Pending->Timeout = Millis(Timer2.Interval());
    }

    void SendItem(TIntCMD Item, std::uint8_t Addr) {
        switch (Item.Custom) {
            case CID2::Remote: {
                const std::uint8_t info[] = {Item.Param};
                SendFrame(Item, Addr, CID2::Remote, info);
                break;
            }
            case CID2::SetParam: {
                const std::uint8_t info[] = {Item.Param, static_cast<std::uint8_t>(Item.Value >> 8),
                                             static_cast<std::uint8_t>(Item.Value & 0xFF)};
                SendFrame(Item, Addr, CID2::SetParam, info);
                break;
            }
            default:
                SendFrame(Item, Addr, Item.Custom, {});
                break;
        }
    }

    void SendFrame(TIntCMD Item, std::uint8_t Addr, std::uint8_t Cid2,
                   std::span<const std::uint8_t> Info) {
        // A command sent before the last one had any frame supersedes it: its
        // answer can no longer be told apart, so it counts as missing.
        ReportMissing();
        Pending.reset();
        LastCID2 = Cid2;
        LastAddr = Addr;
        const std::vector<std::uint8_t> frame =
            BuildCommand(TDH_Header{ProtocolVer, Addr, DeviceCID1, Cid2}, Info);
        const std::uint64_t generation = LinkGeneration;
        const std::int32_t written = Link.Write(frame);
        const TStamp at = Stamp();  // the end of the write
        if (generation == LinkGeneration) Pending = TPending{Item, Cid2, at.Time, {}, false, false};
        const TCommandSent e{at, Item, Addr, Cid2, frame, written};
        Notify([&](IMonitorObserver& o) { o.OnCommandSent(e); });
    }

    // A command written earlier that has had no frame at all since.
    void ReportMissing() {
        if (!Pending || Pending->FrameSeen || Pending->ReportedMissing) return;
        Pending->ReportedMissing = true;
        const TReplyMissing e{Stamp(), Pending->CID2, Pending->Item, Pending->SentAt,
                              Pending->Timeout.value_or(Millis(Timer2.Interval()))};
        Notify([&](IMonitorObserver& o) { o.OnReplyMissing(e); });
    }

    void ReceiveData(std::span<const std::uint8_t> Block) {
        if (InReceive) throw std::logic_error("TMonitor::ReceiveData called from its own event");
        InReceive = true;
        struct TDone {
            bool& flag;
            ~TDone() { flag = false; }
        } done{InReceive};

        BlockAt = Stamp();
        // The codec reports frames and the noise between them in line order; the first
        // observer failure leaves here once the whole block is taken in.
        DH.ReceiveData(Block);
    }

    // What the codec dropped: bytes before a "~", after a carriage return, and frames
    // that outgrew its buffer or were restarted by a later "~".
    void Noise(std::span<const std::uint8_t> Bytes) {
        const TNoise e{BlockAt, Bytes.size(), Bytes};
        Notify([&](IMonitorObserver& o) { o.OnNoise(e); });
    }

    void FrameCut(std::span<const std::uint8_t> Frame) {
        // Parsed once here; the codec's correct-frame event of this frame takes it.
        FrameParsed = ParseFrame(Frame);
        const TFrameCheck check = FrameParsed ? TFrameCheck::Ok : CheckFrameReason(Frame);
        TFrameReceived e{BlockAt, Frame, check, std::nullopt, false};
        FrameInTime = false;
        if (Pending && !Pending->FrameSeen) {
            Pending->FrameSeen = true;
            e.ResponseTime = std::chrono::duration_cast<Millis>(BlockAt.Time - Pending->SentAt);
            e.Late = Pending->ReportedMissing;
            FrameInTime = !e.Late;
        }
        Notify([&](IMonitorObserver& o) { o.OnFrameReceived(e); });
    }

    void CorrectFrame(std::span<const std::uint8_t> Frame) {
        const std::optional<TParsedFrame> reply = std::move(FrameParsed);
        FrameParsed.reset();
        if (!reply) return;  // never: the codec and the frame event agree on the check
        // Read as the answer to the last command sent, whatever happens below.
        const std::uint8_t last = LastCID2;
        const std::uint8_t rtn = reply->Header.CID2;
        const bool hasDecoder = HasDecoder(last);
        const TDH_Header header{reply->Header.Ver, reply->Header.Addr, reply->Header.CID1, last};
        // The one decoding of this reply: every observer takes the record from here.
        std::optional<TReplyData> data;
        TDecodeResult result = TDecodeResult::Refused;
        if (rtn == 0) {
            if (hasDecoder) data = Decoder(last, header, reply->Info);
            result = !hasDecoder ? TDecodeResult::NoDecoder
                     : data      ? TDecodeResult::Decoded
                                 : TDecodeResult::Malformed;
        }
        TReplyReceived r{BlockAt,    reply->Header, rtn, last,   reply->Info,
                         hasDecoder, Frame,         {},  result, nullptr};
        r.Verdict.AddressAsAsked = LastAddr && *LastAddr == reply->Header.Addr;
        r.Verdict.InTime = FrameInTime;
        if (data) r.Data = &*data;
        Notify([&](IMonitorObserver& o) { o.OnReplyReceived(r); });
        if (!data) return;
        const TDecodedReply d{BlockAt, header, last, std::move(*data)};
        Notify([&](IMonitorObserver& o) { o.OnReplyDecoded(d); });
    }

    bool LinkOpened(std::string Port) {
        QueryStep = 0;
        LinkOpen = true;
        Pending.reset();
        LastAddr.reset();
        const TLinkOpened e{Stamp(), std::move(Port)};
        Notify([&](IMonitorObserver& o) { o.OnLinkOpened(e); });
        if (!Settings.AutoPoll()) return true;
        const auto interval = Settings.IntervalMs();
        if (!interval) {
            // Polling cannot run without an interval; the host can give one while the
            // link is open, and switch polling on again.
            Timer1.SetEnabled(false);
            return false;
        }
        Timer1.SetInterval(*interval);
        Timer1.SetEnabled(true);
        return true;
    }

    void LinkClosed(TCloseReason Reason, std::string Detail) {
        if (Closing) return;  // a failure reported while closing
        Closing = true;
        struct TDone {
            bool& flag;
            ~TDone() { flag = false; }
        } done{Closing};
        Timer2.SetEnabled(false);
        Timer1.SetEnabled(false);
        ReleaseQueue();
        ++LinkGeneration;
        Pending.reset();
        if (!LinkOpen) return;
        LinkOpen = false;
        const TLinkClosed e{Stamp(), Reason, std::move(Detail)};
        Notify([&](IMonitorObserver& o) { o.OnLinkClosed(e); });
    }
};

TMonitor::TMonitor(IClock& Clock, ILink& Link, IPollSettings& Settings)
    : FImpl(std::make_unique<TImpl>(Clock, Link, Settings)) {}

IMonitorObserver& TMonitor::Relay() {
    if (!FImpl->RelayObserver) FImpl->RelayObserver = std::make_unique<TImpl::TRelay>(*FImpl);
    return *FImpl->RelayObserver;
}

TMonitor::~TMonitor() = default;

void TMonitor::AddObserver(IMonitorObserver& Observer) {
    auto& list = FImpl->Observers;
    if (std::find(list.begin(), list.end(), &Observer) == list.end()) list.push_back(&Observer);
}

void TMonitor::RemoveObserver(IMonitorObserver& Observer) {
    auto& list = FImpl->Observers;
    const auto it = std::find(list.begin(), list.end(), &Observer);
    if (it == list.end()) return;
    if (FImpl->NotifyDepth > 0) {
        *it = nullptr;  // an event is running over the list: erased when it is done
        FImpl->ObserversRemoved = true;
    } else {
        list.erase(it);
    }
}

void TMonitor::QueueCommand(TIntCMD Item) {
    FImpl->Append(Item);
    FImpl->Timer2.SetEnabled(true);
}

void TMonitor::PollTick() {
    FImpl->PollTick();
}

void TMonitor::SendTick() {
    FImpl->SendTick();
}

const std::deque<TIntCMD>& TMonitor::Queue() const {
    return FImpl->Queue;
}

std::int32_t TMonitor::QueryStep() const {
    return FImpl->QueryStep;
}

TTimer& TMonitor::PollTimer() {
    return FImpl->Timer1;
}

TTimer& TMonitor::SendTimer() {
    return FImpl->Timer2;
}

void TMonitor::SendNoDataCmd(std::uint8_t Addr, std::uint8_t CID2) {
    FImpl->SendFrame(TIntCMD{CID2, 0, 0}, Addr, CID2, {});
}

void TMonitor::SendRemoteCmd(std::uint8_t Addr, std::uint8_t SubCmd) {
    FImpl->SendItem(TIntCMD{CID2::Remote, SubCmd, 0}, Addr);
}

void TMonitor::SendSetParamsCmd(std::uint8_t Addr, std::uint8_t SubCmd, std::uint16_t Value) {
    FImpl->SendItem(TIntCMD{CID2::SetParam, SubCmd, Value}, Addr);
}

std::uint8_t TMonitor::LastCID2() const {
    return FImpl->LastCID2;
}

bool TMonitor::LinkOpened(std::string Port) {
    return FImpl->LinkOpened(std::move(Port));
}

void TMonitor::LinkClosed(TCloseReason Reason, std::string Detail) {
    FImpl->LinkClosed(Reason, std::move(Detail));
}

void TMonitor::SetAutoQuery(bool On) {
    FImpl->Timer1.SetEnabled(On);
}

void TMonitor::SetHeld(bool On) {
    FImpl->Held = On;
}

bool TMonitor::LinkConnected() const {
    return FImpl->Link.Connected();
}

bool TMonitor::Held() const {
    return FImpl->Held;
}

void TMonitor::ReceiveData(std::span<const std::uint8_t> Block) {
    FImpl->ReceiveData(Block);
}

TDH& TMonitor::Codec() {
    return FImpl->DH;
}

void TMonitor::SetReplyDecoder(TReplyDecoder Decoder) {
    FImpl->Decoder = Decoder ? std::move(Decoder) : TReplyDecoder(DecodeReply);
}

}  // namespace aircon
