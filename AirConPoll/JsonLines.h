// Decoded replies as JSON lines: one object per reply, fields by their English names,
// a reading the controller reports as not detected as null. Fields a short reply did not
// carry are left out. Controller texts are Latin-1 bytes, written as UTF-8 exactly as
// they came (padding and zero bytes kept, control characters escaped).
//
//   {"time":"2024-01-01T00:00:00.000Z","addr":1,"cid2":"0x42","reply":"analog","unit":1,
//    "data_flag":0,"voltage_ab":220,...,"supply_air_humidity":null,...,"user_defined_count":6}
#pragma once

#include <string>
#include <string_view>

#include "Events.h"

namespace airconpoll {

// The JSON object of one decoded reply, without a line end.
std::string JsonLine(const aircon::TDecodedReply& Reply);
// A JSON string literal (with its quotes) of Latin-1 bytes.
std::string JsonString(std::string_view Latin1);
// "2024-01-01T00:00:00.000Z"
std::string IsoTime(aircon::WallTime Time);

}  // namespace airconpoll
