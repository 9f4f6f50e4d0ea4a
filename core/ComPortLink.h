// The serial port component as the monitoring core's link.
//
// Writes go straight to the port; a failure is reported by the port to its own
// OnException handler (which may close the link before Write returns), never to the
// core. The session (TSession) binds the port's OnRxBuf to TMonitor::ReceiveData.
#pragma once

#include "CPort.h"
#include "Monitor.h"

namespace aircon {

class TComPortLink : public ILink {
  public:
    explicit TComPortLink(TCustomComPort& Port) : FPort(Port) {}

    bool Connected() const override { return FPort.Connected(); }
    std::int32_t Write(std::span<const std::uint8_t> Frame) override { return FPort.Write(Frame); }

    TCustomComPort& Port() const { return FPort; }

  private:
    TCustomComPort& FPort;
};

}  // namespace aircon
