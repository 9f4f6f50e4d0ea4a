// Control commands that change the simulated line while it runs, one per line
// of text, read from a named pipe (`--control PATH`):
//
//   silent ADDR|all        the controller hears its commands but no longer answers
//   answer ADDR|all        it answers again
//   alarm ADDR UNIT FIELD STATE
//                          holds an alarm of unit 1 or 2: FIELD is the alarm's key
//                          (return_air_temp, compressor_overload, ...) or its
//                          position 0..35 in reply 0x44; STATE is normal, low,
//                          high, fault or a code 0..255; held until changed
//   power ADDR on|off      switches the controller on or off
//   late ADDR MS           its replies leave MS milliseconds late (0: on time)
//   reply-as ADDR OTHER    its replies carry address OTHER (its own: as before)
//   param ADDR CODE VALUE  stores a user parameter (0x80..0x86, 0xC0..0xC8) as given
//   choices ADDR CODE LIST|any
//                          the values a set of CODE may carry (0-4, 1,3): any other
//                          is refused with RTN 6; any: the built-in rule
//   version ADDR VER       its protocol version (VER of replies and commands)
//   normal                 every controller answers, on time, with its own
//                          address, holds no alarm and is on (parameters and
//                          versions stay as they are)
//
// ADDR may also be a list or range as for --addr. Blank lines and lines from
// "#" are passed over.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Bus.h"

namespace acsim {

// Carries out one command line; gives the reason when it cannot (then nothing
// has changed).
std::string ApplyControl(Bus& bus, std::string_view line);

// The named pipe the commands arrive on. Made at `path` (an existing named
// pipe there is taken over; any other file is an error) and removed on
// destruction. Throws std::runtime_error on failure, and always on Windows.
class ControlPipe {
  public:
    explicit ControlPipe(std::string path);
    ~ControlPipe();
    ControlPipe(const ControlPipe&) = delete;
    ControlPipe& operator=(const ControlPipe&) = delete;

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    // Reads what has arrived and calls `onLine` for every complete line.
    template <class F>
    void Read(F onLine) {
        for (const std::string& l : ReadLines())
            onLine(l);
    }

  private:
    std::vector<std::string> ReadLines();
    std::string path_;
    int fd_ = -1;
    std::string partial_;
};

}  // namespace acsim
