// The simulator's end of the serial line: a pseudo-terminal pair whose master
// it holds, or an existing serial device opened through the serial component.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace acsim {

using BytesHandler = std::function<void(std::span<const std::uint8_t>)>;

class Line {
  public:
    virtual ~Line() = default;
    // Path the tool opens (the pseudo-terminal slave, or the device).
    virtual const std::string& Path() const = 0;
    // Waits up to `timeout` seconds for received bytes and hands every block to
    // `onBytes`; returns early when one of `wakeFds` becomes readable (negative
    // ones are passed over; Windows has none). Returns false when the line has
    // failed for good.
    virtual bool Wait(double timeout, std::span<const int> wakeFds,
                      const BytesHandler& onBytes) = 0;
    // Sends bytes; whatever no one is listening for is lost, as on a real line.
    // Returns false when the line has failed for good.
    virtual bool Send(std::string_view bytes) = 0;
    // Why the line failed, once Wait or Send returned false.
    virtual std::string Failure() const = 0;
    // The bit rate the far end has set its side of the line to, or 0 when it
    // cannot be known (a real device sets its own pace).
    virtual long FarBaud() const { return 0; }
    // A descriptor that becomes readable when bytes arrive, for another line's
    // Wait; -1 while nobody holds the far end (then look every few milliseconds).
    virtual int ReadyFd() const { return -1; }
};

// Makes a pseudo-terminal pair in raw mode and keeps its master. With a link
// path, a symbolic link to the slave is placed there (an existing symbolic link
// is replaced; any other file is an error) and removed again on destruction if
// it still points at this slave. Throws std::runtime_error on failure, and
// always on Windows, which has no pseudo-terminals.
std::unique_ptr<Line> OpenPty(const std::string& link);

// Opens an existing serial device at `baud`, 8N1, with the serial component
// (on Windows a COM port, "COM5").
std::unique_ptr<Line> OpenDevice(const std::string& path, int baud);

}  // namespace acsim
