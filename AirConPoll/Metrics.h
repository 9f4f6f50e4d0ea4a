// The controller's readings in the Prometheus text exposition format, for the textfile
// collector of the node exporter.
//
// Every sample carries the label port, so that several pollers on one machine (one per
// serial port) can share the collector's folder. A reading the controller reports as not
// detected is left out, never written as a number. Texts that come from the controller
// (vendor name and the like) are Latin-1 bytes: they are turned into UTF-8, stripped of
// their padding, and every byte that is not printable is replaced, so that no reply can
// break a line of the file or forge one.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Clock.h"
#include "Model.h"
#include "MultiPoll.h"
#include "ParamSet.h"

namespace airconpoll {

using aircon::SteadyTime;
using aircon::WallTime;

// What the metrics file shows.
struct TMetricsData {
    std::string Port;
    // The controller's address on a line of several: its samples carry the label addr.
    // Empty for the one controller of a port, whose samples carry the port label only.
    std::optional<std::uint8_t> Addr;
    bool Up = false;        // the controller answers (a reply with RTN 0 in the last poll cycle)
    bool PortOpen = false;  // the serial port is open
    std::uint64_t Reconnects = 0;  // openings of the port after it was lost

    std::uint64_t Commands = 0;
    std::uint64_t Replies = 0;         // frames that passed the check
    std::uint64_t RepliesMissing = 0;  // commands without any frame within the reply time-out
    std::uint64_t ErrorFrames = 0;     // frames that failed the check
    std::uint64_t RtnErrors = 0;       // replies with an RTN other than 0
    std::map<std::uint8_t, std::uint64_t> RtnCounts;  // those replies by their RTN
    std::optional<WallTime> LastReply;                // the last reply with RTN 0

    // Per unit: index 0 is the first unit (空调1), 1 the second.
    std::array<std::optional<aircon::TAnalogValues>, 2> Analog;
    std::array<std::optional<aircon::TSwitchStates>, 2> Switches;
    std::array<std::optional<aircon::TAlarmStates>, 2> Alarms;
    std::optional<aircon::TUserParams> Params;
    std::optional<aircon::TProtocolVersion> Version;
    std::optional<aircon::TDeviceAddress> Address;
    std::optional<aircon::TVendorInfo> Vendor;
    // When the identity (any of 0x4F, 0x50, 0x51) and the parameters were last read.
    std::optional<WallTime> InfoReadAt;
    std::optional<WallTime> ParamsReadAt;
    // The reference parameter set (--params-reference) the parameters are compared with;
    // null without one.
    const aircon::TParamSet* Reference = nullptr;

    // Takes a decoded reply in place of the last one of its kind (and unit); At, when
    // given, is when it came.
    void Apply(const aircon::TReplyData& Reply, std::optional<WallTime> At = std::nullopt);
    // Forgets every reading and the identity: the controller no longer answers.
    void ClearReadings();
};

// The whole metrics file of one controller on its port.
std::string FormatMetrics(const TMetricsData& Data);
// The metrics file of a line of several controllers: the port's samples (port open,
// reconnects, error frames, stray replies) from Line, with the port label only; every
// sample of a controller with its port and addr labels.
std::string FormatFleetMetrics(const TMetricsData& Line, std::span<const TMetricsData> Controllers,
                               const aircon::TStrayCounts& Strays);

// A label value as the format writes it between its double quotes: backslash, double
// quote and line feed escaped. Text is UTF-8.
std::string EscapeLabelValue(std::string_view Text);
// A text field of the controller (Latin-1 bytes) as label text: trailing padding
// (spaces, zero bytes) removed, every control character but the line feed (C0, DEL, C1)
// replaced by U+FFFD, the rest converted to UTF-8. The line feed is left for
// EscapeLabelValue, which writes it as the format's escape.
std::string ControllerLabelText(std::string_view Latin1);

// A text given as UTF-8 (the port name from the command line) as label text: a byte that
// is not part of a well-formed UTF-8 sequence, and every control character but the line
// feed, replaced by U+FFFD. Scrapers refuse a file whose label values are not UTF-8.
std::string Utf8LabelText(std::string_view Text);

// The unit label: "1" for the first unit (DATAFLAG unit index 0), "2" for the second.
std::string UnitLabel(int Unit);

}  // namespace airconpoll
