// Measures the real main window (TForm1 with its serial component, codec and
// decoders) from outside the product, against a controller on a pseudo-terminal.
//
//   form_probe poll   --port P --sim-log F [--seconds 60] [--cycles 200]
//       idle cost of the polling window, wakes of the serial event thread, and
//       the send times of the poll commands as the simulator logged them
//   form_probe reply  [--replies 1000]
//       time from the write of a reply's last byte (by an in-process writer
//       that plays the controller on a pseudo-terminal of its own) to its
//       decoded values being in the panel's labels
//   form_probe soak   --port P --sim-log F [--commands 50000] [--interval 5]
//                     [--timeout 2]
//       a long compressed run: every reply decoded, resident memory over time
//   form_probe faults --port P --sim-log F [--seconds 20]
//       the window under the simulator's line faults: no hang, bounded queue,
//       every intact reply decoded, the link restored after the line vanished
//   form_probe linkview --port P --sim-log F [--seconds 60]
//       the cost of the link view while polling: phases with the traffic log
//       panel shown and its file written, and phases without the link view
//       at all (its observers off the core, its widgets hidden), taken in turn
//       in one run; CPU and the poll time-line of each
//   any mode: [--recording on|off] the window's recorder switch (default: its own
//       default, on); recordings go to the probe's temporary folder
//
// Every result is printed as one "key=value" line; bench/run.sh reads them.
// Exit status 0 when the run could be carried out, 1 when it could not (the
// figures then say why), 2 for a bad command line.
#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ComComboBox.h"
#include "Controller.h"
#include "Form1.h"
#include "Frame.h"
#include "LinkView.h"
#include "MessageBoxes.h"
#include "MonitorUnit.h"
#include "RecordTrendReport.h"
#include "TrafficLogPanel.h"
#include "TrafficRows.h"

namespace {

using Clock = std::chrono::steady_clock;

double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

template <class T>
void Put(const std::string& Key, const T& Value) {
    std::ostringstream s;
    s << Key << '=' << Value << '\n';
    std::fputs(s.str().c_str(), stdout);
    std::fflush(stdout);
}

// --- the process as the kernel sees it -------------------------------------

long StatusKb(const std::string& Path, const std::string& Key) {
    std::ifstream in(Path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(Key + ":", 0) == 0)
            return std::strtol(line.c_str() + Key.size() + 1, nullptr, 10);
    return -1;
}

long RssKb() {
    return StatusKb("/proc/self/status", "VmRSS");
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::set<int> Tasks() {
    std::set<int> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        out.insert(std::atoi(e.path().filename().c_str()));
    return out;
}

// Times the thread was switched out: each blocking wait that ended counts one.
long Switches(int Tid) {
    const std::string p = "/proc/self/task/" + std::to_string(Tid) + "/status";
    const long v = StatusKb(p, "voluntary_ctxt_switches");
    const long n = StatusKb(p, "nonvoluntary_ctxt_switches");
    return v < 0 || n < 0 ? -1 : v + n;
}

// CPU time of one thread so far, in seconds (the scheduler's own account, in ns).
// Blocking waits of the thread that ended (its wakes), without the times the
// scheduler took the CPU from it (preemptions, which a busy machine adds).
long VoluntarySwitches(int Tid) {
    return StatusKb("/proc/self/task/" + std::to_string(Tid) + "/status",
                    "voluntary_ctxt_switches");
}

double ThreadCpuSeconds(int Tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(Tid) + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

double ThreadCpuSeconds(const std::set<int>& Tids) {
    double sum = 0;
    for (int t : Tids)
        sum += ThreadCpuSeconds(t);
    return sum;
}

long Switches(const std::set<int>& Tids) {
    long sum = 0;
    for (int t : Tids)
        sum += std::max(0L, Switches(t));
    return sum;
}

// --- the event loop ----------------------------------------------------------

// Runs the event loop for Ms milliseconds, sleeping while nothing happens.
void RunFor(double Ms) {
    QEventLoop loop;
    QTimer::singleShot(std::max(0, static_cast<int>(Ms)), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
    loop.exec();
}

template <class Pred>
bool RunUntil(Pred Done, double TimeoutMs) {
    const double end = NowMs() + TimeoutMs;
    while (!Done()) {
        if (NowMs() >= end) return false;
        RunFor(5);
    }
    return true;
}

// --- statistics --------------------------------------------------------------

double Percentile(std::vector<double> V, double P) {
    if (V.empty()) return NAN;
    std::sort(V.begin(), V.end());
    const double rank = P / 100.0 * static_cast<double>(V.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(rank));
    const auto hi = std::min(lo + 1, V.size() - 1);
    return V[lo] + (V[hi] - V[lo]) * (rank - static_cast<double>(lo));
}

// --- the simulator's log ---------------------------------------------------------

struct SimEntry {
    double t = 0;  // seconds since the simulator started
    std::string text;
};

std::vector<SimEntry> ReadSimLog(const std::string& Path) {
    std::vector<SimEntry> out;
    std::ifstream in(Path);
    std::string line;
    while (std::getline(in, line)) {
        const auto sp = line.find(' ');
        if (sp == std::string::npos) continue;
        out.push_back({std::strtod(line.c_str(), nullptr), line.substr(sp + 1)});
    }
    return out;
}

// The CID2 of a logged command frame "command ~VVAACCDD...".
std::optional<int> CommandCid2(const std::string& Text) {
    if (Text.rfind("command ~", 0) != 0 || Text.size() < 17) return std::nullopt;
    return std::stoi(Text.substr(15, 2), nullptr, 16);
}

std::string Field(const std::string& Text, const std::string& Name) {
    const auto at = Text.find(" " + Name + "=");
    if (at == std::string::npos) return {};
    const auto from = at + Name.size() + 2;
    const auto end = Name == "frame" ? Text.size() : Text.find(' ', from);
    return Text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// A received frame as the simulator logs it: the carriage return as "\r".
std::string Logged(std::span<const std::uint8_t> Frame) {
    std::string s;
    for (std::uint8_t b : Frame) {
        if (b == '\r')
            s += "\\r";
        else
            s.push_back(static_cast<char>(b));
    }
    return s;
}

// --- the window under test -----------------------------------------------------

struct Options {
    std::string mode;
    std::string port;
    std::string simLog;
    double seconds = -1;
    int cycles = 200;
    int replies = 1000;
    int commands = 50000;
    int interval = 5;
    int timeout = 2;
};

std::string RecordingSwitch;  // "on", "off" or "" (the window's default)

class Window {
  public:
    explicit Window(const std::string& Port) {
        MessageBoxes::SetHook([this](QWidget*, const MessageBoxes::TBox& Box) {
            Boxes.push_back(Box.Text.toStdString());
        });
        const QString ini = Dir.filePath(QStringLiteral("ComSetting.ini"));
        if (QFile f(ini); f.open(QIODevice::WriteOnly))
            f.write(("[ComPort1]\nPort=" + Port + "\n").c_str());
        if (QFile f(Dir.filePath(QStringLiteral("Recording.ini"))); f.open(QIODevice::WriteOnly)) {
            std::string ini = "[Recording]\nFolder=" + Dir.filePath("rec").toStdString() + "\n";
            if (!RecordingSwitch.empty())
                ini +=
                    std::string("Enabled=") + (RecordingSwitch == "on" ? "true" : "false") + "\n";
            f.write(ini.c_str());
        }
        Form = std::make_unique<TForm1>(ini);
        Form->show();
        RunFor(50);
        const QString port = QString::fromStdString(Port);
        auto* cbPort = Form->findChild<TComComboBox*>(QStringLiteral("cbPort"));
        if (cbPort->Text() != port) {
            cbPort->addItem(port);
            cbPort->setCurrentIndex(cbPort->count() - 1);
        }
        // Every reply that reaches the intake, as the codec cut it.
        // Every frame that reaches the intake, as the codec cut it, and every reply
        // with RTN 0 that the window dispatches.
        Spy.Owner = this;
        Form->Monitor().AddObserver(Spy);
        // Commands that leave, and the length of the queue after every tick.
        auto poll = Form->PollTimer().OnTimer;
        Form->PollTimer().OnTimer = [this, poll] {
            const bool wasOn = Form->SendTimer().Enabled();
            const double start = NowMs();
            poll();
            if (KeepTicks)
                Ticks.push_back({false, start, NowMs(), wasOn, Form->SendTimer().Enabled(), -1});
            MaxQueue = std::max(MaxQueue, Form->SendQueue().size());
        };
        auto send = Form->SendTimer().OnTimer;
        Form->SendTimer().OnTimer = [this, send] {
            const std::size_t before = Form->SendQueue().size();
            const double start = NowMs();
            send();
            if (KeepTicks)
                Ticks.push_back({before > 0, start, NowMs(), true, Form->SendTimer().Enabled(),
                                 Form->LastCID2()});
            if (before > 0 && Form->ComPort().Connected()) ++Sent;
            MaxQueue = std::max(MaxQueue, Form->SendQueue().size());
            if (OnSent) OnSent();
        };
    }
    ~Window() {
        if (Form) {
            if (Form->ComPort().Connected()) Button("btnCommOpen")->click();
            Form->close();
            Form->Monitor().RemoveObserver(Spy);
            Form.reset();
        }
        MessageBoxes::SetHook(nullptr);
    }

    bool Open() {
        Button("btnCommOpen")->click();
        return Form->ComPort().Connected();
    }
    void AutoPoll(bool On) {
        auto* box = Form->findChild<QCheckBox*>(QStringLiteral("cbAutoQuery"));
        if (box->isChecked() != On) box->click();
    }

    QPushButton* Button(const char* Name) const {
        return Form->findChild<QPushButton*>(QLatin1String(Name));
    }
    QLineEdit* Edit(const char* Name) const {
        return Form->findChild<QLineEdit*>(QLatin1String(Name));
    }

    // Counts what the core tells its observers.
    struct TSpy : aircon::IMonitorObserver {
        class Window* Owner = nullptr;
        void OnFrameReceived(const aircon::TFrameReceived& F) override;
        void OnReplyReceived(const aircon::TReplyReceived& R) override;
    } Spy;

    QTemporaryDir Dir;
    std::unique_ptr<TForm1> Form;
    std::vector<std::string> Boxes;
    std::vector<std::string> Received;
    bool KeepFrames = false;
    // Timer ticks as the window ran them: a send tick (with a command to send) or a poll
    // tick, its start and end, and whether the send timer ran before and after it.
    struct Tick {
        bool send;
        double start, end;
        bool sendTimerBefore, sendTimerAfter;
        int cid2;  // the command a send tick sent
    };
    bool KeepTicks = false;
    std::vector<Tick> Ticks;
    std::uint64_t CorrectFrames = 0, ErrorFrames = 0, Dispatched = 0, Sent = 0;
    std::size_t MaxQueue = 0;
    std::function<void()> OnSent;
};

void Window::TSpy::OnFrameReceived(const aircon::TFrameReceived& F) {
    if (F.Check == TFrameCheck::Ok) {
        ++Owner->CorrectFrames;
        if (Owner->KeepFrames) Owner->Received.push_back(Logged(F.Frame));
    } else {
        ++Owner->ErrorFrames;
    }
}

void Window::TSpy::OnReplyReceived(const aircon::TReplyReceived& R) {
    if (R.Rtn == 0) ++Owner->Dispatched;
}

// --- poll: idle cost, event-thread wakes, poll punctuality ------------------------

// Poll commands against the time-line: 0x42, 0x43 and 0x44 leave 0, 350 and 700 ms after
// the start of each 1500 ms cycle. Deviations are taken from the median start.
struct TimeLine {
    std::vector<double> base, dev, gapDev;
    int orderErrors = 0;
};

TimeLine PollTimeLine(const std::vector<double>& At, const std::vector<int>& Cid2, int Cycles) {
    TimeLine out;
    std::size_t first = 0;
    while (first < Cid2.size() && Cid2[first] != 0x42)
        ++first;
    static constexpr double offset[] = {0, 350, 700};
    for (std::size_t i = first; i < Cid2.size(); ++i) {
        const std::size_t k = i - first;
        const int cycle = static_cast<int>(k / 3);
        if (cycle >= Cycles) break;
        if (Cid2[i] != 0x42 + static_cast<int>(k % 3)) ++out.orderErrors;
        out.base.push_back(At[i] - 1500.0 * cycle - offset[k % 3]);
    }
    const double anchor = Percentile(out.base, 50);
    for (std::size_t j = 0; j < out.base.size(); ++j) {
        out.dev.push_back(std::abs(out.base[j] - anchor));
        if (j > 0) out.gapDev.push_back(std::abs(out.base[j] - out.base[j - 1]));
    }
    return out;
}

int RunPoll(const Options& O) {
    const double measureS = O.seconds > 0 ? O.seconds : 60;
    Window w(O.port);
    const std::set<int> before = Tasks();
    if (!w.Open()) {
        Put("error", "the window did not open " + O.port);
        return 1;
    }
    std::set<int> thread;
    for (int t : Tasks())
        if (!before.count(t)) thread.insert(t);
    // Send times as the window saw them (the ticks it records), beside the simulator's
    // receive times: tells a late timer in the window from a late wake of the simulator.
    w.KeepTicks = true;
    std::uint64_t blocks = 0;
    auto rx = w.Form->ComPort().OnRxBuf;
    w.Form->ComPort().OnRxBuf = [&blocks, rx](TCustomComPort& S, std::span<const std::uint8_t> B) {
        ++blocks;
        rx(S, B);
    };
    const double openedAt = NowMs();

    RunFor(2000);  // the first poll cycle settles
    const double cpu0 = CpuSeconds(), wall0 = NowMs();
    const double main0 = ThreadCpuSeconds(static_cast<int>(getpid()));
    const double event0 = ThreadCpuSeconds(thread);
    const long wakes0 = Switches(thread);
    const long mainWakes0 = Switches(static_cast<int>(getpid()));
    const long mainSleeps0 = VoluntarySwitches(static_cast<int>(getpid()));
    const std::uint64_t blocks0 = blocks;
    RunFor(measureS * 1000);
    const double cpu1 = CpuSeconds(), wall1 = NowMs();
    const double main1 = ThreadCpuSeconds(static_cast<int>(getpid()));
    const double event1 = ThreadCpuSeconds(thread);
    const long wakes1 = Switches(thread);
    const long mainWakes1 = Switches(static_cast<int>(getpid()));
    const long mainSleeps1 = VoluntarySwitches(static_cast<int>(getpid()));
    const std::uint64_t blocks1 = blocks;
    Put("idle_seconds", (wall1 - wall0) / 1000);
    Put("idle_cpu_pct", 100.0 * (cpu1 - cpu0) / ((wall1 - wall0) / 1000));
    // Where it went: the main (GUI) thread, the serial event thread, and the rest.
    Put("idle_cpu_main_pct", 100.0 * (main1 - main0) / ((wall1 - wall0) / 1000));
    Put("idle_cpu_event_pct", 100.0 * (event1 - event0) / ((wall1 - wall0) / 1000));
    Put("event_threads", thread.size());
    Put("event_thread_wakes", wakes1 - wakes0);
    Put("main_thread_wakes", mainWakes1 - mainWakes0);
    // Wakes from a wait per second (the event loop's sleeps that ended), and the
    // preemptions that the count above includes.
    Put("main_thread_wakes_per_s",
        static_cast<double>(mainSleeps1 - mainSleeps0) / ((wall1 - wall0) / 1000));
    Put("main_thread_preemptions", (mainWakes1 - mainWakes0) - (mainSleeps1 - mainSleeps0));
    Put("rx_blocks", blocks1 - blocks0);

    // The rest of the poll cycles, then a quiet link: no traffic, so no wake.
    const double pollMs = O.cycles * 1500.0 + 2500;
    const double left = pollMs - (NowMs() - openedAt);
    if (left > 0) RunFor(left);
    Put("rss_kb_polling", RssKb());
    w.AutoPoll(false);
    RunFor(3000);
    const long quiet0 = Switches(thread);
    const double mainQuiet0 = static_cast<double>(Switches(static_cast<int>(getpid())));
    RunFor(5000);
    Put("quiet_event_thread_wakes", Switches(thread) - quiet0);
    Put("quiet_main_thread_wakes",
        static_cast<double>(Switches(static_cast<int>(getpid()))) - mainQuiet0);
    Put("boxes", w.Boxes.size());
    Put("dispatched", w.Dispatched);

    // Send times of the poll commands at the simulator, against the time-line:
    // 0x42, 0x43 and 0x44 leave 350, 700 and 1050 ms into each 1500 ms cycle.
    std::vector<double> at;  // ms
    std::vector<int> cid2;
    for (const SimEntry& e : ReadSimLog(O.simLog))
        if (auto c = CommandCid2(e.text)) {
            at.push_back(e.t * 1000);
            cid2.push_back(*c);
        }
    {
        std::vector<double> wat;
        std::vector<int> wcid2;
        for (const Window::Tick& t : w.Ticks) {
            if (!t.send) continue;
            wat.push_back(t.start);
            wcid2.push_back(t.cid2);
        }
        const TimeLine window = PollTimeLine(wat, wcid2, O.cycles);
        Put("poll_window_dev_p99_ms", Percentile(window.dev, 99));
        Put("poll_window_dev_max_ms",
            window.dev.empty() ? NAN : *std::max_element(window.dev.begin(), window.dev.end()));
    }
    // Where a deviation comes from: the send timer firing late, or a send tick taking long
    // (the timer restarts when the tick has sent its command, so a slow write shifts the
    // rest of the cycle).
    {
        std::vector<double> late, sendTick;
        double armedAt = NAN;
        const double interval = w.Form->SendTimer().Interval();
        for (const Window::Tick& t : w.Ticks) {
            if (t.send) {
                if (!std::isnan(armedAt)) late.push_back(t.start - armedAt - interval);
                sendTick.push_back(t.end - t.start);
            }
            if (t.send || !t.sendTimerBefore) armedAt = t.sendTimerAfter ? t.end : NAN;
        }
        Put("send_timer_late_p99_ms", Percentile(late, 99));
        Put("send_timer_late_max_ms",
            late.empty() ? NAN : *std::max_element(late.begin(), late.end()));
        Put("send_tick_p50_ms", Percentile(sendTick, 50));
        Put("send_tick_p99_ms", Percentile(sendTick, 99));
        Put("send_tick_max_ms",
            sendTick.empty() ? NAN : *std::max_element(sendTick.begin(), sendTick.end()));
        Put("send_tick_over_2ms",
            std::count_if(sendTick.begin(), sendTick.end(), [](double d) { return d > 2; }));
        Put("send_ticks", sendTick.size());
    }
    const TimeLine line = PollTimeLine(at, cid2, O.cycles);
    const std::vector<double>& base = line.base;
    const std::vector<double>& dev = line.dev;
    const std::vector<double>& gapDev = line.gapDev;
    const int orderErrors = line.orderErrors;
    Put("poll_commands", base.size());
    Put("poll_cycles", base.size() / 3);
    Put("poll_order_errors", orderErrors);
    Put("poll_dev_p50_ms", Percentile(dev, 50));
    Put("poll_dev_p99_ms", Percentile(dev, 99));
    Put("poll_dev_max_ms", dev.empty() ? NAN : *std::max_element(dev.begin(), dev.end()));
    Put("poll_gap_dev_p99_ms", Percentile(gapDev, 99));
    return 0;
}

// --- reply: from the last byte written to the decoded values in the labels ---------

QString PanelText(const TfrmMonitorUnit& Panel) {
    QString s;
    for (const QLabel* l : Panel.ValueLabels())
        s += l->text() + QLatin1Char('\x1f');
    return s;
}

int RunReply(const Options& O) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        Put("error", "no pseudo-terminal");
        return 1;
    }
    const std::string path = ttyname(slave);
    Window w(path);
    w.AutoPoll(false);  // only the writer's replies reach the window
    if (!w.Open()) {
        Put("error", "the window did not open " + path);
        return 1;
    }
    // The replies answer a read of the analog values: that command goes out first.
    w.Form->SendNoDataCmd(1, 0x42);
    const TfrmMonitorUnit* panel = w.Form->MonitorPanel(0);

    constexpr int warmup = 20;
    const int total = O.replies + warmup;
    std::vector<double> latency(static_cast<std::size_t>(total), NAN);
    std::atomic<int> posted{-1}, seen{-1};
    std::atomic<double> postedAt{0};
    std::atomic<bool> done{false};
    int missed = 0;

    QString last = PanelText(*panel);
    auto rx = w.Form->ComPort().OnRxBuf;
    w.Form->ComPort().OnRxBuf = [&, rx](TCustomComPort& S, std::span<const std::uint8_t> B) {
        rx(S, B);
        const double t = NowMs();
        const QString now = PanelText(*panel);
        if (now == last) return;
        last = now;
        const int i = posted.load();
        latency[static_cast<std::size_t>(i)] = t - postedAt.load();
        seen.store(i);
    };

    std::thread writer([&] {
        acsim::Controller sim(acsim::ControllerConfig{});
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> pauseUs(1000, 4000);
        for (int i = 0; i < total; ++i) {
            std::vector<std::uint8_t> info = sim.AnalogInfo(0);
            // A value of its own in the first reading, so that every reply shows.
            const auto v = static_cast<std::uint16_t>(1000 + i);
            info[1] = static_cast<std::uint8_t>(v >> 8);
            info[2] = static_cast<std::uint8_t>(v);
            const std::string frame = acsim::BuildReply(0x10, 0x01, 0x60, 0x00, info);
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
            postedAt.store(NowMs());
            posted.store(i);
            if (write(master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
                break;
            const double end = NowMs() + 2000;
            while (seen.load() < i && NowMs() < end)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            if (seen.load() < i) ++missed;
        }
        done.store(true);
    });
    RunUntil([&] { return done.load(); }, total * 2500.0 + 5000);
    writer.join();

    std::vector<double> measured;
    for (int i = warmup; i < total; ++i)
        if (!std::isnan(latency[static_cast<std::size_t>(i)]))
            measured.push_back(latency[static_cast<std::size_t>(i)]);
    Put("reply_count", measured.size());
    Put("reply_missed", missed);
    Put("reply_p50_ms", Percentile(measured, 50));
    Put("reply_p99_ms", Percentile(measured, 99));
    Put("reply_max_ms",
        measured.empty() ? NAN : *std::max_element(measured.begin(), measured.end()));
    close(master);
    close(slave);
    return 0;
}

// --- soak: a long compressed run ----------------------------------------------------

// Gives the memory the program freed back to the system, so that the resident size
// counts what is in use rather than what the allocator keeps in reserve.
extern "C" void __sanitizer_purge_allocator() __attribute__((weak));
long TrimmedRssKb() {
    if (__sanitizer_purge_allocator)
        __sanitizer_purge_allocator();
    else
        malloc_trim(0);
    return RssKb();
}

// The heap in use (glibc): what the program holds, whatever the allocator keeps beside it.
// Zero under a sanitizer's allocator, which glibc does not see.
long HeapInUseKb() {
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

// Bytes held by the window's stores that grow by design up to a bound: the traffic log
// (the newest 10,000 rows) and the session history behind the trends (thinned at a
// fixed number of points per series). Counted from what they hold, not from the heap.
long long BoundedStoreBytes(TForm1& Form) {
    long long bytes = 0;
    const aircon::TTrafficLog& log = Form.LinkView().Panel().Log();
    for (std::size_t i = 0; i < log.Size(); ++i) {
        const aircon::TTrafficRow& r = log.Row(i);
        bytes += static_cast<long long>(sizeof r + r.Frame.capacity());
        for (const std::string* s : {&r.Summary, &r.Port})
            if (s->capacity() > 15) bytes += static_cast<long long>(s->capacity() + 1);
    }
    if (const TRecordTrendReport* rec = Form.Recording()) {
        const aircon::THistory& h = rec->History();
        for (int i = 0; i < aircon::SeriesCount; ++i)
            bytes += static_cast<long long>(h.Series(i).Bytes());
        bytes += static_cast<long long>(h.AlarmChanges().capacity() * sizeof(aircon::TAlarmChange));
    }
    return bytes;
}

// Fills the window's trend history up to its bounds, as some 16 hours of polling at the
// defaults would (readings and switch states of both units, a reply of each kind every
// 1.5 s), and its list of alarm changes, ending a day before now so that the run's own
// replies follow in time. From then on every series holds its ceiling of chunks and thins
// within it, and the alarm list keeps its buffer.
void FillHistory(const aircon::THistory& History) {
    // The window only reads its history; the probe stands in for the hours of polling.
    auto& h = const_cast<aircon::THistory&>(History);
    const auto end = std::chrono::system_clock::now() - std::chrono::hours(24);
    const auto n = static_cast<int>(aircon::THistory::DefaultMaxPoints) + 1;
    for (int i = 0; i < n; ++i) {
        const aircon::WallTime at = end - std::chrono::milliseconds(1500LL * (n - i));
        for (int unit = 0; unit < 2; ++unit) {
            aircon::TAnalogValues a;
            a.Unit = unit;
            a.Count = aircon::AnalogFieldCount;
            for (std::size_t f = 0; f < aircon::AnalogFieldCount; ++f)
                a.Values[f] = aircon::TReading(static_cast<int>(f) + i % 50);
            h.Add(at, a);
            aircon::TSwitchStates s;
            s.Unit = unit;
            s.Power = 0;
            s.Count = aircon::SwitchItemCount;
            for (std::size_t f = 0; f < aircon::SwitchItemCount; ++f)
                s.Items[f] = static_cast<std::uint8_t>(i % 2);
            h.Add(at, s);
        }
    }
    // And the alarm changes up to theirs: a field that comes and goes.
    aircon::TAlarmStates alarms;
    alarms.Count = aircon::AlarmFieldCount;
    alarms.Codes.fill(std::uint8_t{0});
    for (std::size_t i = 0; i <= aircon::THistory::MaxAlarmChanges + 1; ++i) {
        alarms.Codes[0] = static_cast<std::uint8_t>(i % 2);
        h.Add(end - std::chrono::milliseconds(aircon::THistory::MaxAlarmChanges + 2 - i), alarms);
    }
    h.Break(end);
}

int RunSoak(const Options& O) {
    Window w(O.port);
    w.Edit("edQueryInterval")->setText(QString::number(O.interval));
    w.Edit("edRespOvTime")->setText(QString::number(O.timeout));
    if (const TRecordTrendReport* rec = w.Form->Recording()) FillHistory(rec->History());
    long rssAt1000 = -1;
    // A second baseline once the traffic log's ring is full (two rows a command), or half
    // way through a shorter run: the history is full from the start, so from there on
    // every bounded store holds its ceiling and the memory grows only by whatever would
    // be a leak.
    const std::uint64_t baseline = std::min<std::uint64_t>(
        aircon::TTrafficLog::DefaultCapacity / 2, static_cast<std::uint64_t>(O.commands) / 2);
    long rssAtBaseline = -1;
    long heapAtBaseline = 0;
    long long storesAtBaseline = 0;
    std::vector<long> curve;
    w.OnSent = [&] {
        if (w.Sent == 1000) rssAt1000 = RssKb();
        if (w.Sent == baseline) {
            rssAtBaseline = TrimmedRssKb();
            heapAtBaseline = HeapInUseKb();
            storesAtBaseline = BoundedStoreBytes(*w.Form);
        }
        if (w.Sent % 5000 == 0) curve.push_back(RssKb());
    };
    if (!w.Open()) {
        Put("error", "the window did not open " + O.port);
        return 1;
    }
    const double start = NowMs();
    // Commands leave every few milliseconds; look at the count now and then.
    const bool reached = RunUntil([&] { return w.Sent >= static_cast<std::uint64_t>(O.commands); },
                                  O.commands * O.interval * 4.0 + 60000);
    w.AutoPoll(false);
    RunUntil([&] { return w.Form->SendQueue().empty(); }, 5000);
    RunFor(500);  // the last replies arrive
    const long rssEnd = RssKb();
    const long long storesEnd = BoundedStoreBytes(*w.Form);
    const long rssEndTrimmed = TrimmedRssKb();
    Put("soak_seconds", (NowMs() - start) / 1000);
    Put("soak_reached", reached ? 1 : 0);
    Put("soak_sent", w.Sent);
    Put("soak_correct_frames", w.CorrectFrames);
    Put("soak_error_frames", w.ErrorFrames);
    Put("soak_dispatched", w.Dispatched);
    Put("soak_max_queue", w.MaxQueue);
    Put("soak_rss_kb_1000", rssAt1000);
    Put("soak_rss_kb_end", rssEnd);
    Put("soak_rss_growth_kb", rssEnd - rssAt1000);
    // The growth beyond what the bounded stores took on: what would be a leak or a store
    // without a bound.
    Put("soak_baseline_command", baseline);
    Put("soak_stores_kb_end", storesEnd / 1024);
    const long long storesGrowthKb = (storesEnd - storesAtBaseline) / 1024;
    Put("soak_stores_growth_kb", storesGrowthKb);
    Put("soak_rss_growth_from_baseline_kb", rssEndTrimmed - rssAtBaseline);
    Put("soak_unbounded_growth_kb", rssEndTrimmed - rssAtBaseline - storesGrowthKb);
    Put("soak_heap_growth_from_baseline_kb", HeapInUseKb() - heapAtBaseline);
    std::string c;
    for (long kb : curve) {
        if (!c.empty()) c.push_back(',');
        c.append(std::to_string(kb));
    }
    Put("soak_rss_curve_kb", c);
    Put("soak_still_open", w.Form->ComPort().Connected() ? 1 : 0);

    long commands = 0, intact = 0;
    for (const SimEntry& e : ReadSimLog(O.simLog)) {
        if (CommandCid2(e.text)) ++commands;
        if (e.text.rfind("reply ", 0) == 0 && Field(e.text, "fate") == "intact" &&
            Field(e.text, "rtn") == "00")
            ++intact;
    }
    Put("soak_sim_commands", commands);
    Put("soak_sim_intact_replies", intact);
    return 0;
}

// --- faults: the window under line faults --------------------------------------------

int RunFaults(const Options& O) {
    const double seconds = O.seconds > 0 ? O.seconds : 20;
    Window w(O.port);
    w.KeepFrames = true;
    if (!w.Open()) {
        Put("error", "the window did not open " + O.port);
        return 1;
    }
    // The main loop's pulse: how long it ever went without turning.
    double lastBeat = NowMs(), maxStall = 0;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const double t = NowMs();
        maxStall = std::max(maxStall, t - lastBeat);
        lastBeat = t;
    });
    beat.start(20);
    // An operator who finds the link closed opens it again.
    int closes = 0, reopens = 0;
    double closedAt = -1, downMs = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (w.Form->ComPort().Connected()) return;
        if (closedAt < 0) {
            closedAt = NowMs();
            ++closes;
        }
        if (w.Open()) {
            ++reopens;
            downMs += NowMs() - closedAt;
            closedAt = -1;
        }
    });
    watch.start(250);
    RunFor(seconds * 1000);
    watch.stop();
    w.AutoPoll(false);
    RunFor(2000);  // late and paced replies still on their way arrive
    beat.stop();

    // Every reply the simulator sent whole and in time must have been decoded,
    // in the order it was sent. Replies cut off by the line vanishing are not.
    const std::vector<SimEntry> log = ReadSimLog(O.simLog);
    std::vector<double> vanished;
    for (const SimEntry& e : log)
        if (e.text == "vanished") vanished.push_back(e.t);
    struct Sent {
        double t;
        std::string frame;
    };
    std::vector<Sent> intact;
    long commands = 0, delayed = 0, corrupted = 0, dropped = 0;
    for (const SimEntry& e : log) {
        if (CommandCid2(e.text)) ++commands;
        if (e.text.rfind("reply ", 0) != 0) continue;
        const std::string fate = Field(e.text, "fate");
        if (fate == "delayed") ++delayed;
        if (fate == "corrupted") ++corrupted;
        if (fate == "dropped") ++dropped;
        if (fate == "intact") intact.push_back({e.t, Field(e.text, "frame")});
    }
    std::size_t matched = 0, r = 0, missing = 0, missingAtVanish = 0;
    for (const Sent& f : intact) {
        std::size_t at = r;
        while (at < w.Received.size() && w.Received[at] != f.frame)
            ++at;
        if (at < w.Received.size()) {
            ++matched;
            r = at + 1;
            continue;
        }
        // Never decoded: excusable only when the line vanished while it was on its way.
        const bool cut = std::any_of(vanished.begin(), vanished.end(),
                                     [&](double v) { return f.t <= v && v - f.t < 1.0; });
        ++(cut ? missingAtVanish : missing);
    }
    Put("fault_sim_commands", commands);
    Put("fault_intact", intact.size());
    Put("fault_intact_decoded", matched);
    Put("fault_missing", missing);
    Put("fault_missing_at_vanish", missingAtVanish);
    Put("fault_delayed", delayed);
    Put("fault_corrupted", corrupted);
    Put("fault_dropped", dropped);
    Put("fault_correct_frames", w.CorrectFrames);
    Put("fault_error_frames", w.ErrorFrames);
    Put("fault_max_queue", w.MaxQueue);
    Put("fault_max_stall_ms", maxStall);
    Put("fault_closes", closes);
    Put("fault_reopens", reopens);
    Put("fault_down_ms", downMs);
    Put("fault_open_at_end", w.Form->ComPort().Connected() ? 1 : 0);
    Put("fault_lblComRes",
        w.Form->findChild<QLabel*>(QStringLiteral("lblComRes"))->text().toStdString());
    return 0;
}

// --- linkview: the cost of the traffic log and the link counters -------------------

double LoadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = NAN;
    in >> one;
    return one;
}

int RunLinkView(const Options& O) {
    const double perVariantS = O.seconds > 0 ? O.seconds : 60;
    constexpr int Phases = 6;          // per variant, taken in turn: off, on, off, ...
    constexpr double SettleMs = 1000;  // after each switch, not measured
    const double phaseMs = perVariantS * 1000 / Phases;
    Window w(O.port);
    TLinkView& view = w.Form->LinkView();
    TTrafficLogPanel& panel = view.Panel();
    TLinkStatusWidget& status = view.Status();
    auto* refresh = status.findChild<QTimer*>();
    view.AvailableArea = [] { return QRect(0, 0, 4000, 4000); };  // always below the window
    const QString file = w.Dir.filePath(QStringLiteral("traffic.txt"));
    panel.AskFileName = [file](bool, const QString&) { return file; };
    panel.ShowError = [&w](const QString& Text) { w.Boxes.push_back(Text.toStdString()); };
    if (!w.Open()) {
        Put("error", "the window did not open " + O.port);
        return 1;
    }
    w.KeepTicks = true;
    aircon::TMonitor& monitor = w.Form->Monitor();
    auto linkView = [&](bool On) {
        if (On) {
            monitor.AddObserver(panel.Log());
            monitor.AddObserver(status);
            status.show();
            refresh->start();
            status.btnTrafficLog->click();  // the panel below the window
            panel.btnFile->click();         // and its file
        } else {
            if (panel.btnFile->isChecked()) panel.btnFile->click();
            if (status.btnTrafficLog->isChecked()) status.btnTrafficLog->click();
            refresh->stop();
            status.hide();
            monitor.RemoveObserver(panel.Log());
            monitor.RemoveObserver(status);
        }
    };
    linkView(false);
    RunFor(2000);  // the first poll cycle settles

    const double load0 = LoadAverage();
    double cpu[2] = {0, 0}, wall[2] = {0, 0}, mainCpu[2] = {0, 0};
    std::vector<std::pair<double, double>> measured[2];  // ms intervals of each variant
    for (int i = 0; i < 2 * Phases; ++i) {
        const int on = i % 2;
        linkView(on != 0);
        RunFor(SettleMs);
        const double c0 = CpuSeconds(), t0 = NowMs();
        const double m0 = ThreadCpuSeconds(static_cast<int>(getpid()));
        RunFor(phaseMs);
        cpu[on] += CpuSeconds() - c0;
        mainCpu[on] += ThreadCpuSeconds(static_cast<int>(getpid())) - m0;
        wall[on] += (NowMs() - t0) / 1000;
        measured[on].push_back({t0, NowMs()});
    }
    const double load1 = LoadAverage();
    const bool fileOn = panel.btnFile->isChecked();
    const std::uint64_t rows = panel.Log().EndSeq();
    linkView(false);
    panel.Log().StopFile();

    const double off = 100.0 * cpu[0] / wall[0], onPct = 100.0 * cpu[1] / wall[1];
    Put("lv_seconds_each", wall[0]);
    Put("lv_cpu_off_pct", off);
    Put("lv_cpu_on_pct", onPct);
    Put("lv_cpu_delta_pct", onPct - off);
    // The window's own thread alone (the file is written on a thread of its own).
    Put("lv_cpu_main_off_pct", 100.0 * mainCpu[0] / wall[0]);
    Put("lv_cpu_main_on_pct", 100.0 * mainCpu[1] / wall[1]);
    Put("lv_load_start", load0);
    Put("lv_load_end", load1);
    Put("lv_rows", rows);
    Put("lv_file_was_on", fileOn ? 1 : 0);
    std::ifstream lines(file.toStdString());
    Put("lv_file_lines",
        std::count(std::istreambuf_iterator<char>(lines), std::istreambuf_iterator<char>(), '\n'));
    Put("lv_boxes", w.Boxes.size());

    // The poll time-line in each variant: the gaps between the send ticks that sent a
    // command (350, 350, 800 ms in a 1500 ms cycle), against their nominal length.
    for (int on = 0; on < 2; ++on) {
        std::vector<double> dev;
        const Window::Tick* last = nullptr;
        for (const Window::Tick& t : w.Ticks) {
            if (!t.send) continue;
            const bool inside = std::any_of(measured[on].begin(), measured[on].end(), [&](auto r) {
                return t.start >= r.first && t.start < r.second;
            });
            if (inside && last && last->start >= t.start - 1000) {
                const double gap = t.start - last->start;
                const double nominal = t.cid2 == 0x42 ? 800 : 350;
                dev.push_back(std::abs(gap - nominal));
            }
            last = &t;
        }
        const std::string v = on ? "on" : "off";
        Put("lv_gaps_" + v, dev.size());
        Put("lv_gap_dev_p99_" + v + "_ms", Percentile(dev, 99));
        Put("lv_gap_dev_max_" + v + "_ms",
            dev.empty() ? NAN : *std::max_element(dev.begin(), dev.end()));
    }
    return 0;
}

// The window listening on the simulator's tap while another master polls the line: its
// CPU over the measured time beside what it heard (what it wrote, the simulator counts).
int RunListen(const Options& O) {
    const double measureS = O.seconds > 0 ? O.seconds : 60;
    Window w(O.port);
    w.Form->SetListening(true);
    if (!w.Open()) {
        Put("error", "the window did not open " + O.port);
        return 1;
    }
    const aircon::TLinkCountersData& c = w.Form->LinkView().Status().Counters().Data();
    RunFor(2000);  // the other master's first poll cycle
    const double cpu0 = CpuSeconds(), wall0 = NowMs();
    const std::uint64_t commands0 = c.CommandsSent, replies0 = c.Replies;
    RunFor(measureS * 1000);
    const double cpu1 = CpuSeconds(), wall1 = NowMs();
    Put("listen_seconds", (wall1 - wall0) / 1000);
    Put("listen_cpu_pct", 100.0 * (cpu1 - cpu0) / ((wall1 - wall0) / 1000));
    Put("listen_commands", c.CommandsSent - commands0);
    Put("listen_replies", c.Replies - replies0);
    Put("listen_decoded", w.Form->Recording()->History().Replies());
    // The traffic log's rows: the other master's commands, the replies, the missing ones.
    const aircon::TTrafficLog& log = w.Form->LinkView().Panel().Log();
    std::uint64_t heard = 0, replied = 0, missing = 0;
    for (std::size_t i = 0; i < log.Size(); ++i) {
        const aircon::TTrafficRow& r = log.Row(i);
        heard += r.Heard ? 1 : 0;
        replied += r.Kind == aircon::TRowKind::Received ? 1 : 0;
        missing += r.Kind == aircon::TRowKind::Missing ? 1 : 0;
    }
    Put("listen_rows", std::to_string(heard) + " heard / " + std::to_string(replied) +
                           " received / " + std::to_string(missing) + " missing");
    return 0;
}

std::optional<Options> Parse(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Options o;
    o.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--port")
            o.port = v;
        else if (k == "--sim-log")
            o.simLog = v;
        else if (k == "--seconds")
            o.seconds = std::atof(v.c_str());
        else if (k == "--cycles")
            o.cycles = std::atoi(v.c_str());
        else if (k == "--replies")
            o.replies = std::atoi(v.c_str());
        else if (k == "--commands")
            o.commands = std::atoi(v.c_str());
        else if (k == "--interval")
            o.interval = std::atoi(v.c_str());
        else if (k == "--timeout")
            o.timeout = std::atoi(v.c_str());
        else if (k == "--recording" && (v == "on" || v == "off"))
            RecordingSwitch = v;
        else
            return std::nullopt;
    }
    if (o.mode != "reply" && (o.port.empty() || o.simLog.empty())) return std::nullopt;
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> o = Parse(argc, argv);
    if (!o) {
        std::fputs(
            "usage: form_probe poll|reply|soak|faults|linkview|listen [--port P --sim-log F] ...\n",
            stderr);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    char* qargv[] = {argv[0], nullptr};
    QApplication app(qargc, qargv);
    if (o->mode == "poll") return RunPoll(*o);
    if (o->mode == "reply") return RunReply(*o);
    if (o->mode == "soak") return RunSoak(*o);
    if (o->mode == "faults") return RunFaults(*o);
    if (o->mode == "linkview") return RunLinkView(*o);
    if (o->mode == "listen") return RunListen(*o);
    std::fputs("unknown mode\n", stderr);
    return 2;
}
