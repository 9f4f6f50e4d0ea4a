#include "OnceCheck.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <variant>

#include "DH.h"
#include "Frame.h"
#include "HexText.h"

namespace airconpoll {

using namespace aircon;

namespace {

std::string Hex2(unsigned Value) {
    return util::HexCode(static_cast<std::uint8_t>(Value));
}

std::string Join(const std::vector<std::string>& Parts, std::string_view Glue) {
    std::string out;
    for (const auto& p : Parts) {
        if (!out.empty()) out += Glue;
        out += p;
    }
    return out;
}

std::string CheckName(TFrameCheck Check) {
    switch (Check) {
        case TFrameCheck::Ok:
            return "none";
        case TFrameCheck::TooShort:
            return "too short";
        case TFrameCheck::OddLength:
            return "odd length";
        case TFrameCheck::ChkSum:
            return "CHKSUM";
        case TFrameCheck::LChkSum:
            return "LCHKSUM";
    }
    return "?";
}

constexpr std::array<std::uint8_t, 3> PollCommands{CID2::Analog, CID2::Switches, CID2::Alarms};

}  // namespace

void QueueUnlessQueued(TMonitor& Monitor, std::span<const std::uint8_t> Commands) {
    for (std::uint8_t cid2 : Commands) {
        const auto& queue = Monitor.Queue();
        const bool queued = std::any_of(queue.begin(), queue.end(), [cid2](const TIntCMD& Item) {
            return Item.Custom == cid2;
        });
        if (!queued) Monitor.QueueCommand(TIntCMD{cid2, 0, 0});
    }
}

std::string TOnceCheck::CommandName(std::uint8_t CID2) {
    std::string_view what;
    switch (CID2) {
        case CID2::Analog:
            what = "analog values";
            break;
        case CID2::Switches:
            what = "switch states";
            break;
        case CID2::Alarms:
            what = "alarm states";
            break;
        case CID2::UserParams:
            what = "user parameters";
            break;
        case CID2::Version:
            what = "protocol version";
            break;
        case CID2::Address:
            what = "device address";
            break;
        case CID2::VendorInfo:
            what = "vendor information";
            break;
        default:
            return Hex2(CID2);
    }
    return Hex2(CID2) + " (" + std::string(what) + ")";
}

bool TOnceCheck::TakeCycleStarted() {
    const bool started = FCycleStarted;
    FCycleStarted = false;
    return started;
}

std::vector<std::uint8_t> TOnceCheck::MissingReads() const {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < Reads.size(); ++i)
        if (!FReads[i]) out.push_back(Reads[i]);
    return out;
}

bool TOnceCheck::Complete() const {
    for (const auto& unit : FPolls)
        for (bool seen : unit)
            if (!seen) return false;
    return std::all_of(FReads.begin(), FReads.end(), [](bool b) { return b; });
}

void TOnceCheck::Note(std::uint8_t CID2, std::string Outcome) {
    if (CID2 >= 0x40 && CID2 < 0x40 + FOutcome.size()) FOutcome[CID2 - 0x40] = std::move(Outcome);
}

std::vector<std::string> TOnceCheck::Shortfalls() const {
    std::vector<std::string> out;
    auto outcome = [this](std::uint8_t CID2) -> std::string {
        const std::string& o = FOutcome[CID2 - 0x40];
        return o.empty() ? "no usable reply" : "last attempt: " + o;
    };
    for (std::size_t u = 0; u < 2; ++u) {
        std::vector<std::string> missing;
        std::vector<std::string> reasons;
        for (std::size_t s = 0; s < PollCommands.size(); ++s) {
            if (FPolls[u][s]) continue;
            missing.push_back(CommandName(PollCommands[s]));
            reasons.push_back(outcome(PollCommands[s]));
        }
        if (missing.empty()) continue;
        const std::string unit =
            "unit " + std::to_string(u + 1) + " (空调" + std::to_string(u + 1) + ")";
        const auto& other = FPolls[1 - u];
        const bool otherAnswered =
            std::any_of(other.begin(), other.end(), [](bool b) { return b; });
        if (missing.size() == PollCommands.size() && otherAnswered) {
            out.push_back(unit + " never answered " + Join(missing, ", ") + " in " +
                          std::to_string(FCycles) +
                          " poll cycles: the controller answered for unit " +
                          std::to_string(2 - u) + " only");
        } else {
            std::vector<std::string> items;
            for (std::size_t i = 0; i < missing.size(); ++i)
                items.push_back(missing[i] + " (" + reasons[i] + ")");
            out.push_back(unit + ": no reply read to " + Join(items, ", "));
        }
    }
    for (std::size_t i = 0; i < Reads.size(); ++i) {
        if (FReads[i]) continue;
        out.push_back(CommandName(Reads[i]) + ": " + outcome(Reads[i]));
    }
    return out;
}

void TOnceCheck::OnCommandSent(const TCommandSent& e) {
    ++FCommands;
    FLastCID2 = e.CID2;
    if (e.CID2 == CID2::Analog && FVerdict == TVerdict::Pending) {
        if (FCycles >= FMaxCycles) {
            FVerdict = TVerdict::Incomplete;
        } else {
            // The reads went just before the first cycle: asked again from the second on.
            ++FCycles;
            FCycleStarted = FCycles > 1;
        }
    }
}

void TOnceCheck::OnFrameReceived(const TFrameReceived& e) {
    FAnyFrame = true;
    // Read as the answer to the command sent last, like every frame.
    if (e.Check != TFrameCheck::Ok && FLastCID2)
        Note(*FLastCID2, "a frame that failed the check (" + CheckName(e.Check) + ")");
}

void TOnceCheck::OnReplyReceived(const TReplyReceived& e) {
    if (e.Rtn != 0) {
        Note(e.LastCID2, "refused with RTN " + Hex2(e.Rtn) + " (" + TDH::RtnToString(e.Rtn) + ")");
        return;
    }
    // Cleared when the decoder reads it.
    Note(e.LastCID2,
         "a reply of " + std::to_string(e.Info.size()) + " INFO bytes that could not be read");
}

void TOnceCheck::OnReplyDecoded(const TDecodedReply& e) {
    std::visit(
        [this](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, TAnalogValues> || std::is_same_v<T, TSwitchStates> ||
                          std::is_same_v<T, TAlarmStates>) {
                const std::size_t step = std::is_same_v<T, TAnalogValues>   ? 0
                                         : std::is_same_v<T, TSwitchStates> ? 1
                                                                            : 2;
                if (r.Unit == 0 || r.Unit == 1)
                    FPolls[static_cast<std::size_t>(r.Unit)][step] = true;
            } else if constexpr (std::is_same_v<T, TProtocolVersion>) {
                FReads[0] = true;
            } else if constexpr (std::is_same_v<T, TDeviceAddress>) {
                FReads[1] = true;
            } else if constexpr (std::is_same_v<T, TVendorInfo>) {
                // All three texts: a short reply leaves some out.
                FReads[2] = std::all_of(r.Fields.begin(), r.Fields.end(),
                                        [](const auto& f) { return f.has_value(); }) ||
                            FReads[2];
            } else if constexpr (std::is_same_v<T, TUserParams>) {
                FReads[3] = true;
            }
        },
        e.Data);
    if (FVerdict == TVerdict::Pending && Complete()) FVerdict = TVerdict::Done;
}

void TOnceCheck::OnReplyMissing(const TReplyMissing& e) {
    Note(e.CID2, "no reply within " + std::to_string(e.Timeout.count()) + " ms");
    if (FAnyFrame || FVerdict != TVerdict::Pending) return;
    for (std::size_t s = 0; s < PollCommands.size(); ++s)
        if (PollCommands[s] == e.CID2) ++FSilentPolls[s];
    if (std::all_of(FSilentPolls.begin(), FSilentPolls.end(), [](int n) { return n > 0; }))
        FVerdict = TVerdict::Silent;
}

}  // namespace airconpoll
