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
    // A listening link writes nothing: every write is refused (0 bytes written).
    std::int32_t Write(std::span<const std::uint8_t> Frame) override {
        return FListenOnly ? 0 : FPort.Write(Frame);
    }
    void SetListenOnly(bool On) { FListenOnly = On; }
    bool ListenOnly() const { return FListenOnly; }

    TCustomComPort& Port() const { return FPort; }

  private:
    TCustomComPort& FPort;
    bool FListenOnly = false;
};

}  // namespace aircon
