// AirConPoll: polls the air-conditioner controller without a window and hands its
// readings to Prometheus (the node exporter's textfile collector) or on as JSON lines.
#include <iostream>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Listen.h"
#include "Options.h"
#include "ParamsRun.h"
#include "Poller.h"
#include "ScanRun.h"
#include "Signals.h"

using namespace airconpoll;

int main(int argc, char** argv) {
    PrepareStandardStreams();
    const std::vector<std::string> args = ProgramArguments(argc, argv);
    const TParseResult parsed = ParseOptions(args);
    if (!parsed.Options) {
        std::cerr << "AirConPoll: " << parsed.Error << "\nTry 'AirConPoll --help'.\n";
        return 2;
    }
    const TPollOptions& options = *parsed.Options;
    if (options.Help) {
        std::cout << HelpText();
        return 0;
    }
    if (options.Version) {
        std::cout << VersionText();
        return 0;
    }
    if (!options.Replay.empty()) return RunReplay(options, std::cout, std::cerr);
    TEventLoop loop;
    TSignalWatcher signals(loop);  // before the poller makes any thread
    if (options.Listen) {
        TListenPoller listener(options, loop, std::cout, std::cerr);
        return listener.Run();
    }
    if (options.Scan) return RunScan(options, loop, std::cout, std::cerr);
    if (!options.ParamsSave.empty() || !options.ParamsCheck.empty() || !options.ParamsApply.empty())
        return RunParams(options, loop, std::cout, std::cerr);
    TPoller poller(options, loop, std::cout, std::cerr);
    return poller.Run();
}
