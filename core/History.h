// What a session saw, kept for the trend window and the site report: every reading and
// switch state of both units as a time series, every change of an alarm, and the latest
// reply of each kind.
//
// A value that is not detected is a gap in its series, never a number; so is the time
// the link was closed, and a communications outage: no reply for longer than a few poll
// cycles while the link stayed open (the controller silent or refusing, a cable pulled),
// found from the replies' own spacing, so that a recording read back breaks its lines
// where the live chart did. Each series keeps at most MaxPoints points, gaps included: beyond
// that its points are thinned (every other value kept, and the newest point; a gap
// stays where the value before it stays, so gaps whose values between are gone merge
// into one), so hours or weeks of polling, however often broken, stay within a fixed
// amount of memory while the newest points keep their detail until the next thinning.
// A thinning passes once over the series and leaves it at most two thirds full, so
// adding a point costs a constant amount on average. The points are kept in chunks of a
// fixed size: a series that grows copies nothing and leaves no outgrown buffer behind,
// and the chunks a thinning empties are kept for the points to come, so a full history
// holds a fixed amount of memory (Clear gives it back). A series is always in time
// order (a clock set back does not reorder it).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "Events.h"
#include "Model.h"
#include "RecordingCsv.h"

namespace aircon {

// A point of a series: milliseconds since the epoch and the value; NaN marks a gap.
struct TPoint {
    std::int64_t T = 0;
    double V = 0;
    bool Gap() const { return std::isnan(V); }
};

// The points of one series, in time order, in chunks of ChunkPoints.
class TSeries {
  public:
    static constexpr std::size_t ChunkPoints = 1024;  // 16 KB

    class const_iterator {
      public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = TPoint;
        using difference_type = std::ptrdiff_t;
        using pointer = const TPoint*;
        using reference = const TPoint&;

        const_iterator() = default;
        const_iterator(const TSeries* Series, std::size_t I) : FSeries(Series), FI(I) {}
        reference operator*() const { return (*FSeries)[FI]; }
        pointer operator->() const { return &(*FSeries)[FI]; }
        reference operator[](difference_type N) const { return *(*this + N); }
        const_iterator& operator++() { return ++FI, *this; }
        const_iterator operator++(int) { return {FSeries, FI++}; }
        const_iterator& operator--() { return --FI, *this; }
        const_iterator operator--(int) { return {FSeries, FI--}; }
        const_iterator& operator+=(difference_type N) {
            FI = static_cast<std::size_t>(static_cast<difference_type>(FI) + N);
            return *this;
        }
        const_iterator& operator-=(difference_type N) { return *this += -N; }
        friend const_iterator operator+(const_iterator It, difference_type N) { return It += N; }
        friend const_iterator operator+(difference_type N, const_iterator It) { return It += N; }
        friend const_iterator operator-(const_iterator It, difference_type N) { return It -= N; }
        friend difference_type operator-(const const_iterator& A, const const_iterator& B) {
            return static_cast<difference_type>(A.FI) - static_cast<difference_type>(B.FI);
        }
        friend bool operator==(const const_iterator& A, const const_iterator& B) {
            return A.FI == B.FI;
        }
        friend auto operator<=>(const const_iterator& A, const const_iterator& B) {
            return A.FI <=> B.FI;
        }

      private:
        const TSeries* FSeries = nullptr;
        std::size_t FI = 0;
    };

    std::size_t size() const { return FSize; }
    bool empty() const { return FSize == 0; }
    const TPoint& operator[](std::size_t I) const {
        return (*FChunks[I / ChunkPoints])[I % ChunkPoints];
    }
    const TPoint& front() const { return (*this)[0]; }
    const TPoint& back() const { return (*this)[FSize - 1]; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, FSize}; }
    // The memory held: the chunks and their table.
    std::size_t Chunks() const { return FChunks.size(); }
    std::size_t Bytes() const {
        return FChunks.size() * sizeof(TChunk) + FChunks.capacity() * sizeof(FChunks[0]);
    }

  private:
    friend class THistory;
    using TChunk = std::array<TPoint, ChunkPoints>;
    TPoint& At(std::size_t I) { return (*FChunks[I / ChunkPoints])[I % ChunkPoints]; }
    void push_back(const TPoint& P);
    // Keeps the first N points; the chunks stay for the points to come.
    void Shrink(std::size_t N) { FSize = std::min(FSize, N); }
    void clear() {
        std::vector<std::unique_ptr<TChunk>>().swap(FChunks);
        FSize = 0;
    }

    std::vector<std::unique_ptr<TChunk>> FChunks;
    std::size_t FSize = 0;
};

// The series of one unit, in this order: the analog readings (AnalogFields order), the
// power state, the switch items (SwitchFields order).
enum class TSeriesKind { Analog, Power, Switch };
inline constexpr int SeriesPerUnit = static_cast<int>(AnalogFieldCount + 1 + SwitchItemCount);
inline constexpr int SeriesCount = 2 * SeriesPerUnit;

struct TSeriesKey {
    int Unit = 0;  // 0 or 1
    TSeriesKind Kind = TSeriesKind::Analog;
    int Field = 0;  // within its kind
    friend bool operator==(const TSeriesKey&, const TSeriesKey&) = default;
};
int SeriesIndex(TSeriesKey Key);
TSeriesKey SeriesKeyAt(int Index);
const TFieldInfo& SeriesField(TSeriesKey Key);
// What the series stands for: its axis on a chart, its unit or its words.
TQuantity SeriesQuantity(TSeriesKey Key);

// An alarm field that changed its code (or was first seen raised). The views word it
// ("空调2 压缩机过载：正常 → 故障").
struct TAlarmChange {
    std::int64_t T = 0;
    int Unit = 0;
    int Field = 0;           // AlarmFields order
    bool FromKnown = false;  // false: the first report of this field
    TStateCode From;
    TStateCode To;
    friend bool operator==(const TAlarmChange&, const TAlarmChange&) = default;
};
// An alarm code that stands for a fault (anything but normal and not detected).
bool IsAlarmRaised(const TStateCode& Code);

template <class T>
struct TStamped {
    WallTime At{};
    T Value{};
};

// The latest reply of each kind; monitor replies per unit.
struct TLatestReplies {
    std::array<std::optional<TStamped<TAnalogValues>>, 2> Analog;
    std::array<std::optional<TStamped<TSwitchStates>>, 2> Switches;
    std::array<std::optional<TStamped<TAlarmStates>>, 2> Alarms;
    std::optional<TStamped<TUserParams>> Params;
    std::optional<TStamped<TProtocolVersion>> Version;
    std::optional<TStamped<TDeviceAddress>> Address;
    std::optional<TStamped<TVendorInfo>> Vendor;
};

std::int64_t ToMs(WallTime At);

class THistory : public IMonitorObserver {
  public:
    // 20,000 points of 16 bytes a series: 8 to 16 hours of polling at the window's
    // defaults in full detail (a reply of each kind every 1.5 s, shared by the units),
    // and a ceiling of 20 chunks of 16 KB, 320 KB, a series, some 18 MB for all 56 of
    // them, however long the session runs. A chart shows at most a few points per pixel of
    // its width anyway.
    static constexpr std::size_t DefaultMaxPoints = 20000;
    static constexpr std::size_t MaxAlarmChanges = 50000;

    // An outage: a pause between two replies longer than OutageCycles poll cycles, a
    // cycle being RepliesPerCycle times the usual spacing of replies (the median of the
    // last SpacingSamples pauses, so that a changed poll interval is followed within a
    // few replies and one outage does not move it), and never shorter than MinOutageMs.
    // Until MinSpacingSamples pauses are known no outage is found.
    static constexpr int OutageCycles = 3;
    static constexpr int RepliesPerCycle = 3;  // analog values, switch states, alarms
    static constexpr std::int64_t MinOutageMs = 3000;
    static constexpr std::size_t SpacingSamples = 15;
    static constexpr std::size_t MinSpacingSamples = 3;

    explicit THistory(std::size_t MaxPoints = DefaultMaxPoints);

    void Add(WallTime At, const TReplyData& Data);
    // A gap in every series (the link closed, or a recording ended).
    void Break(WallTime At);
    void Clear();

    const TSeries& Series(int Index) const { return FSeries[static_cast<std::size_t>(Index)]; }
    const TSeries& Series(TSeriesKey Key) const { return Series(SeriesIndex(Key)); }
    const std::vector<TAlarmChange>& AlarmChanges() const { return FAlarmChanges; }
    const TLatestReplies& Latest() const { return FLatest; }
    // The times of the first and the last reply kept; empty before any.
    std::optional<std::int64_t> FirstTime() const { return FFirst; }
    std::optional<std::int64_t> LastTime() const { return FLast; }
    std::uint64_t Replies() const { return FReplies; }
    // Changes with every Add, Break and Clear: a view redraws when it differs.
    std::uint64_t Generation() const { return FGeneration; }
    // The points thinnings have passed over so far, every series together: the cost of
    // keeping the bound (for tests and the bench).
    std::uint64_t ThinningWork() const { return FThinningWork; }
    // The pause between replies beyond which the next reply follows a gap; empty while
    // too few replies were seen to tell.
    std::optional<std::int64_t> OutageAfterMs() const;

    // When the link last opened (the replies before it belong to an earlier session).
    std::optional<WallTime> LinkOpenedAt() const { return FOpenedAt; }

    void OnLinkOpened(const TLinkOpened& E) override { FOpenedAt = E.At.Wall; }
    void OnReplyDecoded(const TDecodedReply& E) override { Add(E.At.Wall, E.Data); }
    void OnLinkClosed(const TLinkClosed& E) override { Break(E.At.Wall); }

  private:
    void Append(int Index, std::int64_t T, std::optional<double> V);
    void Thin(TSeries& S);
    void AddAlarms(std::int64_t T, const TAlarmStates& A);
    void GapAll(std::int64_t T);
    void NoteReply(std::int64_t T);

    std::size_t FMaxPoints;
    std::array<TSeries, SeriesCount> FSeries;
    std::vector<TAlarmChange> FAlarmChanges;
    std::array<std::array<std::optional<TStateCode>, AlarmFieldCount>, 2> FLastAlarm{};
    TLatestReplies FLatest;
    std::optional<std::int64_t> FFirst, FLast;
    std::uint64_t FReplies = 0;
    std::uint64_t FGeneration = 0;
    std::uint64_t FThinningWork = 0;
    // The time of the last reply since the last gap in every series, and the last pauses
    // between replies (a ring).
    std::optional<std::int64_t> FPrevReply;
    std::optional<WallTime> FOpenedAt;
    std::array<std::int64_t, SpacingSamples> FSpacings{};
    std::size_t FSpacingCount = 0, FSpacingNext = 0;
};

// Why a recording file could not be read at all.
enum class TLoadFailure {
    None,
    CannotOpen,     // the system refused to open it (OpenError)
    Folder,         // the path names a folder
    NotARecording,  // the reader refused it (Refusal)
};

// What reading a recording file into a history found.
struct TRecordingLoad {
    bool Ok = false;
    TLoadFailure Failure = TLoadFailure::None;  // why nothing could be read
    std::error_code OpenError;                  // CannotOpen: the system's error number
    TRecordingRefusal Refusal;                  // NotARecording: why it is none
    std::uint64_t Rows = 0;
    std::uint64_t Damaged = 0;              // rows skipped
    std::optional<TRowDamage> FirstDamage;  // the first of them: its line, what is wrong
    bool Truncated = false;  // the last line was cut off (the program ended while writing)
};
// Reads a recording written by the recorder into Into (replies in file order; a 丢失行
// marker is a gap). Cancel, when given and set, ends the reading early.
TRecordingLoad LoadRecording(const std::filesystem::path& File, THistory& Into,
                             const std::atomic<bool>* Cancel = nullptr);

// The points of Series to draw between From and To on Columns pixel columns: per column
// its first, lowest, highest and last point in time order, so the drawn line keeps
// every peak; a gap inside a column is kept; the nearest points outside the range are
// added so the line runs to the edges. Series is in time order.
void Decimate(std::span<const TPoint> Series, std::int64_t From, std::int64_t To, int Columns,
              std::vector<TPoint>& Out);
void Decimate(const TSeries& Series, std::int64_t From, std::int64_t To, int Columns,
              std::vector<TPoint>& Out);

}  // namespace aircon
