// The one decoding of each reply that every observer takes its record from: the core
// decodes, the traffic log's rows, the history and the counters take its result.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "CoreTestSupport.h"
#include "History.h"
#include "LinkCounters.h"
#include "TrafficRows.h"

namespace coretest {
namespace {

// ---------------------------------------------------------------------------
// Decode once

// Each good reply goes through the decoder once; the reply event carries the record and
// the decoded event hands on the same one; the traffic log, the history and the counters
// take it from there and never decode again.
TEST(DecodeOnce, EveryObserverTakesTheCoresRecord) {
    TRig rig;
    int calls = 0;
    rig.Monitor.SetReplyDecoder(
        [&](std::uint8_t Cid2, TDH_Header Header, std::span<const std::uint8_t> Info) {
            ++calls;
            return DecodeReply(Cid2, Header, Info);
        });
    TTrafficLog log;
    THistory history;
    TLinkCounters counters;
    class TProbe : public IMonitorObserver {
      public:
        void OnReplyReceived(const TReplyReceived& e) override {
            Results.push_back(e.Decode);
            Carried = e.Data ? std::optional<TReplyData>(*e.Data) : std::nullopt;
        }
        void OnReplyDecoded(const TDecodedReply& e) override {
            ++Decoded;
            EXPECT_EQ(Carried, std::optional<TReplyData>(e.Data)) << "the same record";
        }
        std::vector<TDecodeResult> Results;
        std::optional<TReplyData> Carried;
        int Decoded = 0;
    } probe;
    for (IMonitorObserver* o :
         std::initializer_list<IMonitorObserver*>{&log, &history, &counters, &probe})
        rig.Monitor.AddObserver(*o);
    TResponder responder(rig.Clock, rig.Link, rig.Monitor);
    responder.Answers = NormalAnswer;
    rig.Open();
    rig.RunTo(5000);
    ASSERT_GE(probe.Decoded, 6);
    EXPECT_EQ(calls, probe.Decoded);
    EXPECT_EQ(static_cast<std::uint64_t>(calls), counters.Data().Replies);

    // What did not decode, and why; the decoder is asked only for an RTN-0 reply to a
    // command that has one.
    rig.Inputs.Auto = false;
    rig.Monitor.SetAutoQuery(false);
    responder.Answers = nullptr;
    probe.Results.clear();
    const int before = calls;
    rig.Monitor.SendNoDataCmd(1, 0x42);
    rig.Feed(Reply(0, Bytes(3, 0)));  // too short for 0x42
    rig.Monitor.SendNoDataCmd(1, 0x42);
    rig.Feed(Reply(4));
    rig.Monitor.SendRemoteCmd(1, 0x10);
    rig.Feed(Reply(0));
    EXPECT_EQ(probe.Results,
              (std::vector<TDecodeResult>{TDecodeResult::Malformed, TDecodeResult::Refused,
                                          TDecodeResult::NoDecoder}));
    EXPECT_EQ(calls, before + 1);
    // The traffic log says what the core found, not what it would find itself.
    rig.Monitor.SetReplyDecoder([](std::uint8_t, TDH_Header, std::span<const std::uint8_t>) {
        return std::optional<TReplyData>();
    });
    rig.Monitor.SendNoDataCmd(1, 0x42);
    rig.Feed(Reply(0, AnalogInfo()));
    const TTrafficRow& row = log.Row(log.Size() - 1);
    EXPECT_FALSE(row.Decoded);
    EXPECT_NE(row.Summary.find("无法解码"), std::string::npos) << row.Summary;
}

}  // namespace
}  // namespace coretest
