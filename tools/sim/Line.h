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
    // `onBytes`; returns early when `wakeFd` becomes readable. Returns false when
    // the line has failed for good.
    virtual bool Wait(double timeout, int wakeFd, const BytesHandler& onBytes) = 0;
    // Sends bytes; whatever no one is listening for is lost, as on a real line.
    // Returns false when the line has failed for good.
    virtual bool Send(std::string_view bytes) = 0;
    // Why the line failed, once Wait or Send returned false.
    virtual std::string Failure() const = 0;
};

// Makes a pseudo-terminal pair in raw mode and keeps its master. With a link
// path, a symbolic link to the slave is placed there (an existing symbolic link
// is replaced; any other file is an error) and removed again on destruction if
// it still points at this slave. Throws std::runtime_error on failure.
std::unique_ptr<Line> OpenPty(const std::string& link);

// Opens an existing serial device at `baud`, 8N1, with the serial component.
std::unique_ptr<Line> OpenDevice(const std::string& path, int baud);

}  // namespace acsim
