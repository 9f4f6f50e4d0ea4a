#include "LocalTime.h"

#include <algorithm>
#include <cstdio>

#include "Platform.h"

namespace util {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

namespace {

bool Digits(std::string_view Text, std::size_t At, std::size_t N, int& Out) {
    Out = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const char c = Text[At + i];
        if (c < '0' || c > '9') return false;
        Out = Out * 10 + (c - '0');
    }
    return true;
}

}  // namespace

void TLocalTimeText::AppendTo(std::string& Out, WallTime At) {
    const long long ms = duration_cast<milliseconds>(At.time_since_epoch()).count();
    long long sec = ms / 1000;
    long long msPart = ms % 1000;
    if (msPart < 0) {  // before 1970: the second below, and the milliseconds after it
        msPart += 1000;
        --sec;
    }
    long long minute = sec / 60;
    long long secPart = sec % 60;
    if (secPart < 0) {
        secPart += 60;
        --minute;
    }
    if (!FFormatCached || minute != FFormatMinute) {
        // The minute before 1970 is -1: no value of the minute can stand for "none".
        FFormatCached = false;
        char buf[64];
        int n = 0;
        std::optional<std::tm> tm = platform::LocalTime(minute * 60);
        if (tm)
            n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:", tm->tm_year + 1900,
                              tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min);
        if (n != 17 || !tm || tm->tm_sec != 0) {
            // A year beyond four digits, or an offset that is not whole minutes: this
            // time alone, without the cache.
            const std::tm whole = platform::LocalTime(sec).value_or(std::tm{});
            n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                              whole.tm_year + 1900, whole.tm_mon + 1, whole.tm_mday, whole.tm_hour,
                              whole.tm_min, whole.tm_sec, static_cast<int>(msPart));
            Out.append(buf, static_cast<std::size_t>(std::max(n, 0)));
            return;
        }
        std::copy(buf, buf + 17, FFormatPrefix);
        FFormatMinute = minute;
        FFormatCached = true;
    }
    Out.append(FFormatPrefix, 17);
    Out += static_cast<char>('0' + secPart / 10);
    Out += static_cast<char>('0' + secPart % 10);
    Out += '.';
    Out += static_cast<char>('0' + msPart / 100);
    Out += static_cast<char>('0' + msPart / 10 % 10);
    Out += static_cast<char>('0' + msPart % 10);
}

std::string TLocalTimeText::Format(WallTime At) {
    std::string s;
    AppendTo(s, At);
    return s;
}

std::optional<WallTime> TLocalTimeText::Parse(std::string_view Text) {
    // YYYY-MM-DD HH:MM:SS.mmm
    if (Text.size() != 23 || Text[4] != '-' || Text[7] != '-' || Text[10] != ' ' ||
        Text[13] != ':' || Text[16] != ':' || Text[19] != '.')
        return std::nullopt;
    int year, month, day, hour, min, sec, ms;
    if (!Digits(Text, 0, 4, year) || !Digits(Text, 5, 2, month) || !Digits(Text, 8, 2, day) ||
        !Digits(Text, 11, 2, hour) || !Digits(Text, 14, 2, min) || !Digits(Text, 17, 2, sec) ||
        !Digits(Text, 20, 3, ms))
        return std::nullopt;
    // Years a calendar time of the system clock can hold (nanoseconds in 64 bits).
    if (year < 1970 || year > 2200 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        min > 59 || sec > 60)
        return std::nullopt;
    const long long key = ((((year * 100LL + month) * 100 + day) * 100 + hour) * 100) + min;
    if (key != FParseKey) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = min;
        tm.tm_isdst = -1;
        const std::optional<std::int64_t> t = platform::FromLocalTime(tm);
        // A date that does not exist (31 February) or a local time skipped by a clock
        // change is normalised by the conversion: not a time this program wrote.
        if (!t || tm.tm_year != year - 1900 || tm.tm_mon != month - 1 || tm.tm_mday != day ||
            tm.tm_hour != hour || tm.tm_min != min)
            return std::nullopt;
        FParseKey = key;
        FParseEpoch = *t;
    }
    return WallTime(
        duration_cast<WallTime::duration>(milliseconds((FParseEpoch + sec) * 1000 + ms)));
}

std::string LocalTimeText(WallTime Time, bool WithDate) {
    TLocalTimeText text;
    std::string s = text.Format(Time);
    if (WithDate) return s;
    const std::size_t blank = s.find(' ');
    return blank == std::string::npos ? s : s.substr(blank + 1);
}

}  // namespace util
