// Local time as text, "YYYY-MM-DD HH:MM:SS.mmm", and back, in the system's time zone.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace util {

using WallTime = std::chrono::system_clock::time_point;

// Both directions keep the offset of the last minute they converted, so a stream of close
// times costs one conversion per minute. Not thread-safe: one per thread.
class TLocalTimeText {
  public:
    std::string Format(WallTime At);
    void AppendTo(std::string& Out, WallTime At);
    // Empty for a text that is not exactly in that form, out of range, or a local time
    // that does not exist (31 February, an hour skipped by a clock change).
    std::optional<WallTime> Parse(std::string_view Text);

  private:
    bool FFormatCached = false;   // FFormatMinute and FFormatPrefix hold a minute
    long long FFormatMinute = 0;  // seconds since the epoch / 60 of the cached minute
    char FFormatPrefix[17] = {};  // "YYYY-MM-DD HH:MM:" of that minute
    long long FParseKey = -1;     // YYYYMMDDHHMM of the cached minute (never negative)
    long long FParseEpoch = 0;    // its start, seconds since the epoch
};

// One local time with milliseconds: "2024-01-01 12:00:00.007", or without the date
// "12:00:00.007".
std::string LocalTimeText(WallTime Time, bool WithDate = true);

}  // namespace util
