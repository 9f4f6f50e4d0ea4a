// A row of the traffic log taken apart for the operator: the frame field by field with
// what each says and whether its checksums are right, and for a decoded reply its
// values under the names the panels use.
#pragma once

#include <string>
#include <vector>

#include "TrafficRows.h"

namespace aircon {

enum class TDetailMark : std::uint8_t {
    Plain,
    Heading,  // starts a group of lines
    Good,     // a checksum that is right
    Bad,      // a checksum that is wrong, a reply that could not be read
    Warning,  // not wrong for this tool, but worth a look (LENID against the INFO present)
};

struct TDetailLine {
    std::string Name;
    std::string Value;
    TDetailMark Mark = TDetailMark::Plain;
    friend bool operator==(const TDetailLine&, const TDetailLine&) = default;
};

std::vector<TDetailLine> DescribeRow(const TTrafficRow& Row);

}  // namespace aircon
