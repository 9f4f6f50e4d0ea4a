// The trend history's cost of keeping its bound: a recording of 60,000 analog rows, once
// alone and once with a lost-row marker after every row (a recorder that fell behind all
// the time), each read into a history of the default size. Prints key=value lines:
// the best of three load times, the points kept and the thinning work.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "History.h"
#include "RecordingCsv.h"

namespace fs = std::filesystem;
using namespace aircon;

namespace {

void WriteRecording(const fs::path& File, int Rows, bool Markers) {
    std::string text(Utf8Bom);
    text += RecordingHeader();
    TLocalTimeText time;
    for (int i = 0; i < Rows; ++i) {
        TAnalogValues v;
        v.Unit = i % 2;
        v.Count = 12;
        for (std::size_t f = 0; f < 12; ++f)
            v.Values[f] = TReading(i % 300 + static_cast<int>(f));
        const WallTime at = WallTime(Millis(1796882587000LL + i * 1500LL));
        AppendRecordingRow(text, TRecordedRow{at, v, 0}, time);
        if (Markers) {
            TRecordedRow marker;
            marker.At = at + Millis(700);
            marker.LostRows = 1;
            AppendRecordingRow(text, marker, time);
        }
    }
    std::ofstream(File, std::ios::binary) << text;
}

struct TLoad {
    double Ms = 1e300;
    std::size_t Points = 0;
    std::uint64_t Work = 0;
    std::uintmax_t Bytes = 0;
};

TLoad Measure(const fs::path& File) {
    TLoad r;
    r.Bytes = fs::file_size(File);
    for (int run = 0; run < 3; ++run) {
        THistory h;
        const auto start = std::chrono::steady_clock::now();
        const TRecordingLoad load = LoadRecording(File, h);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (!load.Ok) {
            std::printf("error=load failure %d\n", static_cast<int>(load.Failure));
            return r;
        }
        r.Ms = std::min(r.Ms, ms);
        r.Points = 0;
        for (int s = 0; s < SeriesCount; ++s)
            r.Points = std::max(r.Points, h.Series(s).size());
        r.Work = h.ThinningWork();
    }
    return r;
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("history-probe-" + std::to_string(getpid()));
    fs::create_directories(dir);
    constexpr int Rows = 60000;
    WriteRecording(dir / "plain.csv", Rows, false);
    WriteRecording(dir / "markers.csv", Rows, true);
    const TLoad plain = Measure(dir / "plain.csv");
    const TLoad markers = Measure(dir / "markers.csv");
    fs::remove_all(dir);
    std::printf("history_rows=%d\n", Rows);
    std::printf("history_plain_mb=%.1f\nhistory_markers_mb=%.1f\n", plain.Bytes / 1e6,
                markers.Bytes / 1e6);
    std::printf("history_plain_ms=%.1f\nhistory_markers_ms=%.1f\n", plain.Ms, markers.Ms);
    std::printf("history_plain_points=%zu\nhistory_markers_points=%zu\n", plain.Points,
                markers.Points);
    std::printf("history_plain_work=%llu\nhistory_markers_work=%llu\n",
                static_cast<unsigned long long>(plain.Work),
                static_cast<unsigned long long>(markers.Work));
    std::printf("history_bound=%zu\n", THistory::DefaultMaxPoints);
    return 0;
}
