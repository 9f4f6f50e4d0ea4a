#include "History.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>

#include "RecordingCsv.h"

namespace aircon {

namespace {

constexpr double Gap = std::numeric_limits<double>::quiet_NaN();
constexpr int AnalogSeries = static_cast<int>(AnalogFieldCount);

}  // namespace

std::int64_t ToMs(WallTime At) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(At.time_since_epoch()).count();
}

int SeriesIndex(TSeriesKey Key) {
    int offset = Key.Field;
    if (Key.Kind == TSeriesKind::Power) offset = AnalogSeries;
    if (Key.Kind == TSeriesKind::Switch) offset = AnalogSeries + 1 + Key.Field;
    return Key.Unit * SeriesPerUnit + offset;
}

TSeriesKey SeriesKeyAt(int Index) {
    TSeriesKey k;
    k.Unit = Index / SeriesPerUnit;
    const int offset = Index % SeriesPerUnit;
    if (offset < AnalogSeries) {
        k.Kind = TSeriesKind::Analog;
        k.Field = offset;
    } else if (offset == AnalogSeries) {
        k.Kind = TSeriesKind::Power;
    } else {
        k.Kind = TSeriesKind::Switch;
        k.Field = offset - AnalogSeries - 1;
    }
    return k;
}

const TFieldInfo& SeriesField(TSeriesKey Key) {
    switch (Key.Kind) {
        case TSeriesKind::Analog:
            return AnalogFields[static_cast<std::size_t>(Key.Field)];
        case TSeriesKind::Power:
            return SwitchPowerField;
        case TSeriesKind::Switch:
            break;
    }
    return SwitchFields[static_cast<std::size_t>(Key.Field)];
}

TQuantity SeriesQuantity(TSeriesKey Key) {
    switch (Key.Kind) {
        case TSeriesKind::Analog:
            return ReadingQuantity(SeriesField(Key).Caption);
        case TSeriesKind::Power:
            return TQuantity::UnitPower;
        case TSeriesKind::Switch:
            break;
    }
    return SwitchItemQuantity(static_cast<std::size_t>(Key.Field));
}

bool IsAlarmRaised(const TStateCode& Code) {
    return Code && *Code != 0;
}

THistory::THistory(std::size_t MaxPoints) : FMaxPoints(std::max<std::size_t>(MaxPoints, 16)) {}

void THistory::Clear() {
    for (auto& s : FSeries)
        s.clear();
    FAlarmChanges.clear();
    FLastAlarm = {};
    FLatest = {};
    FFirst.reset();
    FLast.reset();
    FReplies = 0;
    FPrevReply.reset();
    FSpacingCount = FSpacingNext = 0;
    ++FGeneration;
}

std::optional<std::int64_t> THistory::OutageAfterMs() const {
    if (FSpacingCount < MinSpacingSamples) return std::nullopt;
    std::array<std::int64_t, SpacingSamples> s = FSpacings;
    const auto mid = s.begin() + static_cast<long>(FSpacingCount / 2);
    std::nth_element(s.begin(), mid, s.begin() + static_cast<long>(FSpacingCount));
    return std::max(MinOutageMs, *mid * RepliesPerCycle * OutageCycles);
}

// A reply at T: after a pause longer than an outage every series breaks where the
// outage became clear (the last reply and the pause allowed), and the pause joins the
// ones the usual spacing is taken from.
void THistory::NoteReply(std::int64_t T) {
    if (FPrevReply && T >= *FPrevReply) {
        const std::int64_t pause = T - *FPrevReply;
        if (const auto limit = OutageAfterMs(); limit && pause > *limit)
            GapAll(*FPrevReply + *limit);
        FSpacings[FSpacingNext] = pause;
        FSpacingNext = (FSpacingNext + 1) % SpacingSamples;
        FSpacingCount = std::min(FSpacingCount + 1, SpacingSamples);
    }
    FPrevReply = T;
}

void THistory::GapAll(std::int64_t T) {
    for (int i = 0; i < SeriesCount; ++i)
        Append(i, T, std::nullopt);
}

void TSeries::push_back(const TPoint& P) {
    if (FSize == FChunks.size() * ChunkPoints) FChunks.push_back(std::make_unique<TChunk>());
    At(FSize++) = P;
}

void THistory::Append(int Index, std::int64_t T, std::optional<double> V) {
    auto& s = FSeries[static_cast<std::size_t>(Index)];
    // A series stays in time order even when the calendar clock is set back: such a
    // point takes the time of the one before it.
    if (!s.empty() && T < s.back().T) T = s.back().T;
    if (!V) {
        // One gap marks a whole run of not-detected values.
        if (s.empty() || s.back().Gap()) return;
        s.push_back({T, Gap});
    } else {
        s.push_back({T, *V});
    }
    if (s.size() > FMaxPoints) Thin(s);
}

// Every other value and the newest point stay. A gap stays where the point kept before
// it is a value: gaps with no value kept between them become one, at the first one's
// time, so that the line still breaks there. At most two thirds of the points are left
// (a kept gap follows a kept value, and only every other value is kept).
void THistory::Thin(TSeries& S) {
    const std::size_t n = S.size();
    std::size_t out = 0;
    bool keep = true;
    for (std::size_t i = 0; i < n; ++i) {
        const TPoint p = S[i];
        if (p.Gap()) {
            if (out > 0 && !S[out - 1].Gap()) S.At(out++) = p;
            continue;
        }
        if (keep || i + 1 == n) S.At(out++) = p;
        keep = !keep;
    }
    FThinningWork += n;
    S.Shrink(out);
}

void THistory::AddAlarms(std::int64_t T, const TAlarmStates& A) {
    auto& last = FLastAlarm[static_cast<std::size_t>(A.Unit)];
    for (std::size_t f = 0; f < A.Count && f < AlarmFieldCount; ++f) {
        const TStateCode code = A.Codes[f];
        TAlarmChange c;
        c.T = T;
        c.Unit = A.Unit;
        c.Field = static_cast<int>(f);
        c.To = code;
        if (last[f]) {
            if (*last[f] == code) continue;
            c.FromKnown = true;
            c.From = *last[f];
        } else if (!IsAlarmRaised(code)) {
            last[f] = code;  // first seen normal or not detected: nothing to mark
            continue;
        }
        last[f] = code;
        if (FAlarmChanges.size() >= MaxAlarmChanges)
            FAlarmChanges.erase(FAlarmChanges.begin(),
                                FAlarmChanges.begin() + static_cast<long>(MaxAlarmChanges / 2));
        FAlarmChanges.push_back(c);
    }
}

void THistory::Add(WallTime At, const TReplyData& Data) {
    const std::int64_t t = ToMs(At);
    if (!FFirst) FFirst = t;
    FLast = std::max(FLast.value_or(t), t);
    ++FReplies;
    ++FGeneration;
    NoteReply(t);
    if (auto* a = std::get_if<TAnalogValues>(&Data)) {
        FLatest.Analog[static_cast<std::size_t>(a->Unit)] = {At, *a};
        for (std::size_t f = 0; f < a->Count && f < AnalogFieldCount; ++f) {
            const auto& v = a->Values[f];
            Append(SeriesIndex({a->Unit, TSeriesKind::Analog, static_cast<int>(f)}), t,
                   v ? std::optional<double>(*v) : std::nullopt);
        }
    } else if (auto* s = std::get_if<TSwitchStates>(&Data)) {
        FLatest.Switches[static_cast<std::size_t>(s->Unit)] = {At, *s};
        Append(SeriesIndex({s->Unit, TSeriesKind::Power, 0}), t,
               s->Power ? std::optional<double>(*s->Power) : std::nullopt);
        for (std::size_t f = 0; f < s->Count && f < SwitchItemCount; ++f) {
            const auto& v = s->Items[f];
            Append(SeriesIndex({s->Unit, TSeriesKind::Switch, static_cast<int>(f)}), t,
                   v ? std::optional<double>(*v) : std::nullopt);
        }
    } else if (auto* al = std::get_if<TAlarmStates>(&Data)) {
        FLatest.Alarms[static_cast<std::size_t>(al->Unit)] = {At, *al};
        AddAlarms(t, *al);
    } else if (auto* p = std::get_if<TUserParams>(&Data)) {
        FLatest.Params = {At, *p};
    } else if (auto* v = std::get_if<TProtocolVersion>(&Data)) {
        FLatest.Version = {At, *v};
    } else if (auto* ad = std::get_if<TDeviceAddress>(&Data)) {
        FLatest.Address = {At, *ad};
    } else if (auto* ve = std::get_if<TVendorInfo>(&Data)) {
        FLatest.Vendor = {At, *ve};
    }
}

void THistory::Break(WallTime At) {
    GapAll(ToMs(At));
    // A pause across a break is no outage: the break already shows it.
    FPrevReply.reset();
    // The next report of an alarm after a gap is compared with what was known before.
    ++FGeneration;
}

TRecordingLoad LoadRecording(const std::filesystem::path& File, THistory& Into,
                             const std::atomic<bool>* Cancel) {
    TRecordingLoad result;
    std::ifstream in(File, std::ios::binary);
    if (!in) {
        result.Failure = TLoadFailure::CannotOpen;
        result.OpenError = std::error_code(errno, std::generic_category());
        return result;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(File, ec)) {
        result.Failure = TLoadFailure::Folder;
        return result;
    }
    TRecordingReader reader(in);
    if (!reader.Ok()) {
        result.Failure = TLoadFailure::NotARecording;
        result.Refusal = reader.Refusal();
        return result;
    }
    TRecordedRow row;
    while (reader.Next(row)) {
        if (row.Reply)
            Into.Add(row.At, *row.Reply);
        else
            Into.Break(row.At);
        if (Cancel && Cancel->load(std::memory_order_relaxed)) break;
    }
    result.Ok = true;
    result.Rows = reader.RowsRead();
    result.Damaged = reader.DamagedRows();
    result.FirstDamage = reader.FirstDamage();
    result.Truncated = reader.Truncated();
    return result;
}

namespace {

template <class TPoints>
void DecimateIn(const TPoints& Series, std::int64_t From, std::int64_t To, int Columns,
                std::vector<TPoint>& Out) {
    Out.clear();
    if (Series.empty()) return;
    if (To < From) std::swap(From, To);
    const auto byTime = [](const TPoint& p, std::int64_t t) { return p.T < t; };
    std::size_t lo = static_cast<std::size_t>(
        std::lower_bound(Series.begin(), Series.end(), From, byTime) - Series.begin());
    std::size_t hi = static_cast<std::size_t>(
        std::upper_bound(Series.begin(), Series.end(), To,
                         [](std::int64_t t, const TPoint& p) { return t < p.T; }) -
        Series.begin());
    if (lo > 0) --lo;              // the point before the range
    if (hi < Series.size()) ++hi;  // and the one after it
    const std::size_t n = hi - lo;
    Columns = std::max(Columns, 1);
    if (n <= static_cast<std::size_t>(Columns) * 4 || To == From) {
        Out.assign(Series.begin() + static_cast<long>(lo), Series.begin() + static_cast<long>(hi));
        return;
    }
    const double span = static_cast<double>(To - From);
    auto column = [&](std::int64_t t) {
        const double c = std::floor(static_cast<double>(t - From) * Columns / span);
        return static_cast<long long>(std::clamp(c, -1.0, static_cast<double>(Columns)));
    };
    // The bucket of one column: indexes of its first, lowest, highest and last point.
    std::size_t first = 0, low = 0, high = 0, last = 0;
    bool open = false;
    long long col = 0;
    auto flush = [&] {
        if (!open) return;
        std::size_t idx[4] = {first, low, high, last};
        std::sort(std::begin(idx), std::end(idx));
        std::size_t prev = static_cast<std::size_t>(-1);
        for (std::size_t i : idx) {
            if (i != prev) Out.push_back(Series[i]);
            prev = i;
        }
        open = false;
    };
    for (std::size_t i = lo; i < hi; ++i) {
        const TPoint& p = Series[i];
        if (p.Gap()) {
            flush();
            if (Out.empty() || !Out.back().Gap()) Out.push_back(p);
            continue;
        }
        const long long c = column(p.T);
        if (open && c != col) flush();
        if (!open) {
            open = true;
            col = c;
            first = low = high = last = i;
            continue;
        }
        if (p.V < Series[low].V) low = i;
        if (p.V > Series[high].V) high = i;
        last = i;
    }
    flush();
}

}  // namespace

void Decimate(std::span<const TPoint> Series, std::int64_t From, std::int64_t To, int Columns,
              std::vector<TPoint>& Out) {
    DecimateIn(Series, From, To, Columns, Out);
}

void Decimate(const TSeries& Series, std::int64_t From, std::int64_t To, int Columns,
              std::vector<TPoint>& Out) {
    DecimateIn(Series, From, To, Columns, Out);
}

}  // namespace aircon
