// A scriptable platform for tests: devices live in memory, every operation can be made to fail
// with a chosen error code, and the test feeds received bytes, raises port events and hangs the
// device up. Thread-safe: the component's event thread waits in it while the test drives it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "ComPlatform.h"

enum class TFakeOp {
    Open,
    SetupQueues,
    SetState,
    SetTimeouts,
    SetEventMask,
    WaitEvent,
    Read,
    Write,
    Purge,
    ClearError,
    ModemStatus,
    Close,
};

class TFakeComPlatform : public IComPlatform,
                         public std::enable_shared_from_this<TFakeComPlatform> {
  public:
    TFakeComPlatform() = default;

    std::unique_ptr<IComDevice> Open(const std::string& Port, int& Error) override;

    // Failure injection: the next Times calls of Op fail with Error (Times < 0: every call
    // until ClearFailure).
    void FailOn(TFakeOp Op, int Error, int Times = -1);
    void ClearFailure(TFakeOp Op);
    // Ports that Open refuses with EBUSY as if another program held them.
    void SetBusy(const std::string& Port, bool Busy = true);

    // Input side: bytes appended to the input queue raise EV_RXCHAR (when watched).
    void Feed(std::span<const std::uint8_t> Bytes);
    void Feed(const std::string& Bytes);
    void RaiseEvents(std::uint32_t Mask);     // ComEventBits, delivered as they are
    void HangUp(int Error);                   // the device has gone
    void SetModemStatus(std::uint32_t Bits);  // ComModemBits
    void SetCommErrors(std::uint32_t Bits);   // ComErrorBits, cleared by the next ClearError
    // At most this many bytes are accepted per Write (a time-out cutting the write short).
    void SetWriteLimit(std::size_t Limit);

    // Observation
    std::vector<std::string> Calls() const;  // e.g. "Open COM1", "Purge 3", "Close"
    void ClearCalls();
    std::vector<std::uint8_t> Written() const;
    std::size_t InputQueued() const;
    TComControlBlock LastState() const;
    TComTimeoutValues LastTimeouts() const;
    std::int32_t LastInputSize() const;
    std::int32_t LastOutputSize() const;
    std::uint32_t EventMask() const;
    int OpenDevices() const;  // devices opened and not yet closed or destroyed
    // Whether a WaitEvent is blocked right now, waiting for the test to raise something.
    bool Waiting() const;
    // Waits until a WaitEvent blocks (true) or the timeout passes (false).
    bool WaitUntilWaiting(int TimeoutMs) const;
    int WaitCalls() const;

  private:
    class TDevice;
    friend class TDevice;

    int Check(TFakeOp Op);  // the injected error of Op, or 0; call with FLock held
    void Log(std::string Call);

    mutable std::mutex FLock;
    mutable std::condition_variable FCond;
    struct TFailure {
        int Error;
        int Times;
    };
    std::vector<std::pair<TFakeOp, TFailure>> FFailures;
    std::set<std::string> FBusy;
    std::set<std::string> FOpenPorts;
    std::vector<std::string> FCalls;
    std::vector<std::uint8_t> FWritten;
    std::deque<std::uint8_t> FInput;
    std::uint32_t FRaised = 0;
    bool FHungUp = false;
    int FHangUpError = 0;
    std::uint32_t FModem = 0;
    std::uint32_t FCommErrors = 0;
    std::size_t FWriteLimit = static_cast<std::size_t>(-1);
    TComControlBlock FState;
    TComTimeoutValues FTimeouts;
    std::int32_t FInputSize = 0;
    std::int32_t FOutputSize = 0;
    std::uint32_t FMask = 0;
    int FOpenCount = 0;
    int FWaiting = 0;
    int FWaitCalls = 0;
};
