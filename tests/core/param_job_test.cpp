// The parameter write with its read-back, against a controller stand-in on the fake
// clock that keeps its sixteen parameters, while automatic polling goes on.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <set>

#include "CoreTestSupport.h"
#include "ParamJob.h"
#include "ParamSet.h"

namespace coretest {
namespace {

// Keeps the parameters; 0x49 stores a value unless the code is refused, ignored (taken
// but not kept) or unanswered; 0x47 answers with what it holds; polls get the normal
// answer. Each answer comes 20 ms after the command's write.
class TParamController {
  public:
    TParamController(TFakeClock& Clock, TFakeLink& Link, TMonitor& Monitor)
        : FTimer(Clock.CreateTimer()), FMonitor(Monitor) {
        for (std::size_t i = 0; i < Words.size(); ++i)
            Words[i] = static_cast<std::uint16_t>(20 + i);
        Link.OnWrite = [this](std::span<const std::uint8_t> Frame) { Answer(Frame); };
        FTimer->OnFire = [this] {
            FTimer->Stop();
            FMonitor.ReceiveData(AsBytes(FPending));
        };
    }

    // By code: 0x80.. at 0 to 6, 0xC0.. at 7 to 15.
    std::array<std::uint16_t, 16> Words{};
    std::set<std::uint8_t> Refuse, Ignore, Silent;
    bool SilentOnRead = false;
    std::vector<std::uint8_t> Commands;  // CID2 of every command, in order

    static std::size_t Slot(std::uint8_t Code) {
        return Code >= 0xC0 ? Code - 0xC0 + 7u : Code - 0x80u;
    }

  private:
    void Answer(std::span<const std::uint8_t> Frame) {
        const auto cmd = DissectFrame(Frame);
        if (!cmd.Cid2OrRtn) return;
        const std::uint8_t cid2 = *cmd.Cid2OrRtn;
        Commands.push_back(cid2);
        std::string reply;
        if (cid2 == 0x49 && cmd.Info.size() == 3) {
            const std::uint8_t code = cmd.Info[0];
            const auto value = static_cast<std::uint16_t>(cmd.Info[1] << 8 | cmd.Info[2]);
            if (Silent.count(code)) return;
            if (Refuse.count(code)) {
                reply = Reply(0x06);
            } else {
                if (!Ignore.count(code)) Words[Slot(code)] = value;
                reply = Reply(0);
            }
        } else if (cid2 == 0x47) {
            if (SilentOnRead) return;
            Bytes info;
            auto word = [&](std::uint16_t w) {
                info.push_back(static_cast<std::uint8_t>(w >> 8));
                info.push_back(static_cast<std::uint8_t>(w & 0xFF));
            };
            for (std::size_t i = 0; i < 7; ++i)
                word(Words[i]);
            info.push_back(0);  // user-defined count
            for (std::size_t i = 7; i < 16; ++i)
                word(Words[i]);
            reply = Reply(0, info);
        } else {
            reply = NormalAnswer(cid2);
        }
        FPending = reply;
        FTimer->Start(Millis(20));
    }

    std::unique_ptr<ITimerDriver> FTimer;
    TMonitor& FMonitor;
    std::string FPending;
};

struct TJobRig : TRig {
    TParamController Controller{Clock, Link, Monitor};
};

std::vector<TParamOutcome> Outcomes(const TParamJob& Job) {
    std::vector<TParamOutcome> out;
    for (const TParamResult& r : Job.Results())
        out.push_back(r.Outcome);
    return out;
}

// Four writes with four fates, amid polling: each 0x49 goes out only after the one
// before it was answered or timed out, one 0x47 follows the last, and each parameter
// says what became of it.
TEST(ParamJob, WritesOneAtATimeThenReadsBack) {
    TJobRig rig;
    rig.Controller.Refuse = {0x86};
    rig.Controller.Ignore = {0xC0};
    rig.Controller.Silent = {0xC4};
    rig.Open();
    TParamJob job(rig.Monitor, {{0x80, 30}, {0x86, 25}, {0xC0, 2}, {0xC4, 10}});
    std::vector<std::pair<std::size_t, TParamOutcome>> progress;
    job.OnProgress = [&](std::size_t i) { progress.push_back({i, job.Results()[i].Outcome}); };
    int done = 0;
    job.OnDone = [&] { ++done; };
    job.Start();
    rig.RunTo(10000);

    ASSERT_TRUE(job.Done());
    EXPECT_EQ(done, 1);
    EXPECT_EQ(Outcomes(job),
              (std::vector<TParamOutcome>{TParamOutcome::Verified, TParamOutcome::Refused,
                                          TParamOutcome::Different, TParamOutcome::NoReply}));
    EXPECT_EQ(job.Results()[1].Rtn, 6);
    EXPECT_EQ(job.Results()[2].ReadBack, std::optional<std::uint16_t>(27));  // kept its own
    EXPECT_EQ(job.Results()[0].ReadBack, std::optional<std::uint16_t>(30));

    // On the line: the four writes in order, then one read, polls in between.
    std::vector<std::uint8_t> ours;
    for (std::uint8_t c : rig.Controller.Commands)
        if (c == 0x49 || c == 0x47) ours.push_back(c);
    EXPECT_EQ(ours, (std::vector<std::uint8_t>{0x49, 0x49, 0x49, 0x49, 0x47}));
    EXPECT_GT(rig.Controller.Commands.size(), ours.size()) << "polling went on";

    // Each write was sent before its outcome, and no write went out before the one
    // before it had its outcome.
    std::size_t lastConcluded = 0;
    for (const auto& [i, outcome] : progress) {
        if (outcome == TParamOutcome::Sent) {
            EXPECT_EQ(i, lastConcluded) << "write " << i << " sent early";
        } else if (outcome == TParamOutcome::Accepted || outcome == TParamOutcome::Refused ||
                   outcome == TParamOutcome::NoReply) {
            lastConcluded = i + 1;
        }
    }

    EXPECT_EQ(ParamOutcomeText(job.Results()[0]), "已写入，回读确认控制器保存了 30");
    EXPECT_EQ(ParamOutcomeText(job.Results()[1]), "被拒绝：无效数据（RTN 6）");
    EXPECT_EQ(ParamOutcomeText(job.Results()[2]), "控制器已接受，但回读值为 27，不是设定值 2");
    EXPECT_EQ(ParamOutcomeText(job.Results()[3]), "无应答：控制器未回复设置命令");
}

// What ends a job early or leaves it unconfirmed.
TEST(ParamJob, EndsWithoutConfirmation) {
    {
        SCOPED_TRACE("every write refused: no read-back");
        TJobRig rig;
        rig.Controller.Refuse = {0x80, 0x81};
        rig.Open();
        TParamJob job(rig.Monitor, {{0x80, 30}, {0x81, 18}});
        job.Start();
        rig.RunTo(5000);
        ASSERT_TRUE(job.Done());
        EXPECT_EQ(Outcomes(job),
                  (std::vector<TParamOutcome>{TParamOutcome::Refused, TParamOutcome::Refused}));
        for (std::uint8_t c : rig.Controller.Commands)
            EXPECT_NE(c, 0x47);
    }
    {
        SCOPED_TRACE("the read-back unanswered");
        TJobRig rig;
        rig.Controller.SilentOnRead = true;
        rig.Open();
        TParamJob job(rig.Monitor, {{0xC2, 1}});
        job.Start();
        rig.RunTo(5000);
        ASSERT_TRUE(job.Done());
        EXPECT_EQ(Outcomes(job), std::vector<TParamOutcome>{TParamOutcome::NotReadBack});
        EXPECT_FALSE(job.ReadBack());
    }
    {
        SCOPED_TRACE("the link closes after the first write");
        TJobRig rig;
        rig.Open();
        TParamJob job(rig.Monitor, {{0x80, 30}, {0x81, 18}, {0x82, 40}});
        int done = 0;
        job.OnDone = [&] { ++done; };
        job.OnProgress = [&](std::size_t i) {
            if (i == 0 && job.Results()[0].Outcome == TParamOutcome::Accepted) rig.Close();
        };
        job.Start();
        rig.RunTo(5000);
        ASSERT_TRUE(job.Done());
        EXPECT_EQ(done, 1);
        EXPECT_EQ(Outcomes(job),
                  (std::vector<TParamOutcome>{TParamOutcome::NotReadBack, TParamOutcome::NoReply,
                                              TParamOutcome::NoReply}));
    }
}

// A parameter set's jobs borrow the line: automatic polling stops while they run, their
// commands are the only ones on the line, and polling resumes after them (not after a link
// that closed meanwhile).
TEST(ParamSetJobs, ReadAndWriteWithPollingPaused) {
    TJobRig rig;
    rig.Open();
    rig.RunTo(2000);  // polling for a while
    ASSERT_TRUE(rig.Monitor.PollTimer().Enabled());
    rig.RunTo(2400);  // the queue worked off
    ASSERT_TRUE(rig.Monitor.Queue().empty());
    const std::size_t before = rig.Controller.Commands.size();

    TParamSetReader reader(rig.Monitor);
    int readDone = 0;
    reader.OnDone = [&] { ++readDone; };
    reader.Start();
    EXPECT_FALSE(rig.Monitor.PollTimer().Enabled());
    rig.RunTo(4500);
    ASSERT_TRUE(reader.Done());
    EXPECT_EQ(readDone, 1);
    ASSERT_TRUE(reader.Params());
    EXPECT_EQ(ParamSetValue(*reader.Params(), 0), 20);
    EXPECT_EQ(ParamSetValue(*reader.Params(), 15), 35);
    EXPECT_EQ(reader.Identity().Address, std::optional<std::uint8_t>(1));
    EXPECT_EQ(reader.Identity().ProtocolVersion, std::optional<std::uint8_t>(0x10));
    EXPECT_EQ(std::vector<std::uint8_t>(rig.Controller.Commands.begin() + before,
                                        rig.Controller.Commands.end()),
              (std::vector<std::uint8_t>{0x4F, 0x50, 0x51, 0x47}))
        << "no poll between the reads";
    EXPECT_TRUE(rig.Monitor.PollTimer().Enabled()) << "polling resumes";

    TParamSet file = ParamSetOf(*reader.Params(), reader.Identity(), "");
    file.Values[1] = 18;
    file.Values[8] = 2;
    const TParamComparison c = CompareParamSet(file, *reader.Params(), reader.Identity());
    ASSERT_EQ(c.Differing, 2u);
    rig.RunTo(6000);
    // A poll command queued before the job goes out before it; nothing else does until the
    // job is done.
    std::vector<std::uint8_t> expected = rig.QueuedCid2();
    for (std::uint8_t c : {0x49, 0x49, 0x47})
        expected.push_back(c);
    const std::size_t mid = rig.Controller.Commands.size();
    TParamSetWriter writer(rig.Monitor, c.Writes());
    std::size_t atDone = 0;
    writer.OnDone = [&] { atDone = rig.Controller.Commands.size(); };
    writer.Start();
    EXPECT_FALSE(rig.Monitor.PollTimer().Enabled());
    rig.RunTo(9000);
    ASSERT_TRUE(writer.Done());
    EXPECT_EQ(writer.Verified(), 2u);
    EXPECT_EQ(std::vector<std::uint8_t>(rig.Controller.Commands.begin() + mid,
                                        rig.Controller.Commands.begin() + atDone),
              expected);
    EXPECT_EQ(rig.Controller.Words[1], 18);
    EXPECT_EQ(rig.Controller.Words[8], 2);
    EXPECT_TRUE(rig.Monitor.PollTimer().Enabled());
    ASSERT_TRUE(writer.Job().ReadBack());
    EXPECT_EQ(CompareParamSet(file, *writer.Job().ReadBack(), {}).Differing, 0u);
}

TEST(ParamSetJobs, ReadFailuresAreSaid) {
    {
        SCOPED_TRACE("0x47 unanswered");
        TJobRig rig;
        rig.Controller.SilentOnRead = true;
        rig.Open();
        TParamSetReader reader(rig.Monitor);
        reader.Start();
        rig.RunTo(5000);
        ASSERT_TRUE(reader.Done());
        EXPECT_FALSE(reader.Params());
        EXPECT_NE(reader.Failure().find("无应答"), std::string::npos) << reader.Failure();
        EXPECT_NE(reader.FailureEn().find("no reply"), std::string::npos);
        EXPECT_TRUE(rig.Monitor.PollTimer().Enabled());
    }
    {
        SCOPED_TRACE("the link closes during the read");
        TJobRig rig;
        rig.Open();
        TParamSetReader reader(rig.Monitor);
        reader.Start();
        rig.RunTo(400);
        rig.Close();
        ASSERT_TRUE(reader.Done());
        EXPECT_FALSE(reader.Params());
        EXPECT_NE(reader.FailureEn().find("closed"), std::string::npos);
        EXPECT_FALSE(rig.Monitor.PollTimer().Enabled()) << "a closed link is not polled";
    }
}

TEST(ParamJob, ValueOfEachCode) {
    TUserParams p;
    p.Readings[3] = -5;  // signed on the wire
    p.ItemCount = 2;
    p.Items[1] = 3;
    EXPECT_EQ(ParamValueOf(p, 0x83), std::optional<std::uint16_t>(0xFFFB));
    // Shown as the panel shows it: the lower return-air limit signed, the others not.
    EXPECT_EQ(ParamWordText(0x83, 0xFFFB), "-5");
    EXPECT_EQ(ParamWordText(0x80, 0xFFFB), "65531");
    TParamResult verified{{0x83, 0xFFFB}, TParamOutcome::Verified, 0, 0xFFFB};
    EXPECT_EQ(ParamOutcomeText(verified), "已写入，回读确认控制器保存了 -5");
    EXPECT_EQ(ParamValueOf(p, 0x80), std::nullopt) << "no reading";
    EXPECT_EQ(ParamValueOf(p, 0xC1), std::optional<std::uint16_t>(3));
    EXPECT_EQ(ParamValueOf(p, 0xC2), std::nullopt) << "not carried";
    EXPECT_EQ(ParamValueOf(p, 0x90), std::nullopt) << "no such code";
}

}  // namespace
}  // namespace coretest
