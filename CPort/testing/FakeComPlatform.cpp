// The scriptable in-memory platform used by tests.
#include "FakeComPlatform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

class TFakeComPlatform::TDevice final : public IComDevice {
  public:
    TDevice(TFakeComPlatform& Platform, std::string Port)
        : FPlatform(Platform), FPort(std::move(Port)) {}
    ~TDevice() override { Release(); }

    int SetupQueues(std::int32_t InputSize, std::int32_t OutputSize) override {
        std::lock_guard Lock(FPlatform.FLock);
        FPlatform.Log("SetupQueues " + std::to_string(InputSize) + " " +
                      std::to_string(OutputSize));
        if (const int Error = FPlatform.Check(TFakeOp::SetupQueues)) return Error;
        FPlatform.FInputSize = InputSize;
        FPlatform.FOutputSize = OutputSize;
        return 0;
    }

    int SetState(const TComControlBlock& Block) override {
        std::lock_guard Lock(FPlatform.FLock);
        FPlatform.Log("SetState");
        if (const int Error = FPlatform.Check(TFakeOp::SetState)) return Error;
        FPlatform.FState = Block;
        return 0;
    }

    int SetTimeouts(const TComTimeoutValues& Timeouts) override {
        std::lock_guard Lock(FPlatform.FLock);
        FPlatform.Log("SetTimeouts");
        if (const int Error = FPlatform.Check(TFakeOp::SetTimeouts)) return Error;
        FPlatform.FTimeouts = Timeouts;
        return 0;
    }

    int SetEventMask(std::uint32_t Mask) override {
        std::lock_guard Lock(FPlatform.FLock);
        FPlatform.Log("SetEventMask " + std::to_string(Mask));
        if (const int Error = FPlatform.Check(TFakeOp::SetEventMask)) return Error;
        FPlatform.FMask = Mask;
        return 0;
    }

    TComWaitResult WaitEvent(std::uint32_t& Mask, int& Error) override {
        std::unique_lock Lock(FPlatform.FLock);
        ++FPlatform.FWaitCalls;
        if (const int Failure = FPlatform.Check(TFakeOp::WaitEvent)) {
            Error = Failure;
            return TComWaitResult::Failed;
        }
        ++FPlatform.FWaiting;
        FPlatform.FCond.notify_all();
        TComWaitResult Result = TComWaitResult::Stopped;
        for (;;) {
            if (FCancelled) break;
            if (FPlatform.FHungUp) {
                Error = FPlatform.FHangUpError;
                Result = TComWaitResult::HangUp;
                break;
            }
            const std::uint32_t Occurred = FPlatform.FRaised & FPlatform.FMask;
            FPlatform.FRaised = 0;  // events nobody watches are lost, as on a real port
            if (Occurred != 0) {
                Mask = Occurred;
                Result = TComWaitResult::Events;
                break;
            }
            FPlatform.FCond.wait(Lock);
        }
        --FPlatform.FWaiting;
        return Result;
    }

    void CancelWait() override {
        std::lock_guard Lock(FPlatform.FLock);
        FCancelled = true;
        FPlatform.FCond.notify_all();
    }

    int Read(std::span<std::uint8_t> Buffer, std::size_t& Done) override {
        std::lock_guard Lock(FPlatform.FLock);
        Done = 0;
        FPlatform.Log("Read " + std::to_string(Buffer.size()));
        if (const int Error = FPlatform.Check(TFakeOp::Read)) return Error;
        auto& Input = FPlatform.FInput;
        Done = std::min(Buffer.size(), Input.size());
        std::copy_n(Input.begin(), Done, Buffer.begin());
        Input.erase(Input.begin(), Input.begin() + static_cast<std::ptrdiff_t>(Done));
        return 0;
    }

    int Write(std::span<const std::uint8_t> Buffer, std::size_t& Done) override {
        std::lock_guard Lock(FPlatform.FLock);
        Done = 0;
        FPlatform.Log("Write " + std::to_string(Buffer.size()));
        if (const int Error = FPlatform.Check(TFakeOp::Write)) return Error;
        Done = std::min(Buffer.size(), FPlatform.FWriteLimit);
        FPlatform.FWritten.insert(FPlatform.FWritten.end(), Buffer.begin(),
                                  Buffer.begin() + static_cast<std::ptrdiff_t>(Done));
        return 0;
    }

    int Purge(std::uint32_t Flags) override {
        std::lock_guard Lock(FPlatform.FLock);
        FPlatform.Log("Purge " + std::to_string(Flags));
        if (const int Error = FPlatform.Check(TFakeOp::Purge)) return Error;
        if (Flags & ComPurgeFlags::RxClear) FPlatform.FInput.clear();
        return 0;
    }

    int ClearError(std::uint32_t& Errors, std::uint32_t& InQueue) override {
        std::lock_guard Lock(FPlatform.FLock);
        Errors = 0;
        InQueue = 0;
        FPlatform.Log("ClearError");
        if (const int Error = FPlatform.Check(TFakeOp::ClearError)) return Error;
        Errors = FPlatform.FCommErrors;
        FPlatform.FCommErrors = 0;
        InQueue = static_cast<std::uint32_t>(FPlatform.FInput.size());
        return 0;
    }

    int ModemStatus(std::uint32_t& Status) override {
        std::lock_guard Lock(FPlatform.FLock);
        Status = 0;
        FPlatform.Log("ModemStatus");
        if (const int Error = FPlatform.Check(TFakeOp::ModemStatus)) return Error;
        Status = FPlatform.FModem;
        return 0;
    }

    int Close() override {
        std::lock_guard Lock(FPlatform.FLock);
        FPlatform.Log("Close");
        const int Error = FPlatform.Check(TFakeOp::Close);
        ReleaseLocked();
        return Error;
    }

  private:
    void Release() {
        std::lock_guard Lock(FPlatform.FLock);
        ReleaseLocked();
    }
    void ReleaseLocked() {
        if (!FOpen) return;
        FOpen = false;
        FPlatform.FOpenPorts.erase(FPort);
        --FPlatform.FOpenCount;
        FPlatform.FCond.notify_all();
    }

    TFakeComPlatform& FPlatform;
    std::string FPort;
    bool FOpen = true;
    bool FCancelled = false;
};

std::unique_ptr<IComDevice> TFakeComPlatform::Open(const std::string& Port, int& Error) {
    std::lock_guard Lock(FLock);
    Log("Open " + Port);
    Error = Check(TFakeOp::Open);
    if (Error == 0 && (FBusy.count(Port) != 0 || FOpenPorts.count(Port) != 0)) Error = EBUSY;
    if (Error != 0) return nullptr;
    FOpenPorts.insert(Port);
    ++FOpenCount;
    FHungUp = false;
    FRaised = 0;
    return std::make_unique<TDevice>(*this, Port);
}

int TFakeComPlatform::Check(TFakeOp Op) {
    for (auto It = FFailures.begin(); It != FFailures.end(); ++It) {
        if (It->first != Op) continue;
        const int Error = It->second.Error;
        if (It->second.Times > 0 && --It->second.Times == 0) FFailures.erase(It);
        return Error;
    }
    return 0;
}

void TFakeComPlatform::Log(std::string Call) {
    FCalls.push_back(std::move(Call));
}

void TFakeComPlatform::FailOn(TFakeOp Op, int Error, int Times) {
    std::lock_guard Lock(FLock);
    std::erase_if(FFailures, [Op](const auto& F) { return F.first == Op; });
    if (Times != 0) FFailures.push_back({Op, {Error, Times}});
}

void TFakeComPlatform::ClearFailure(TFakeOp Op) {
    FailOn(Op, 0, 0);
}

void TFakeComPlatform::SetBusy(const std::string& Port, bool Busy) {
    std::lock_guard Lock(FLock);
    if (Busy)
        FBusy.insert(Port);
    else
        FBusy.erase(Port);
}

void TFakeComPlatform::Feed(std::span<const std::uint8_t> Bytes) {
    std::lock_guard Lock(FLock);
    FInput.insert(FInput.end(), Bytes.begin(), Bytes.end());
    FRaised |= ComEventBits::RxChar;
    FCond.notify_all();
}

void TFakeComPlatform::Feed(const std::string& Bytes) {
    Feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(Bytes.data()),
                                       Bytes.size()));
}

void TFakeComPlatform::RaiseEvents(std::uint32_t Mask) {
    std::lock_guard Lock(FLock);
    FRaised |= Mask;
    FCond.notify_all();
}

void TFakeComPlatform::HangUp(int Error) {
    std::lock_guard Lock(FLock);
    FHungUp = true;
    FHangUpError = Error;
    FCond.notify_all();
}

void TFakeComPlatform::SetModemStatus(std::uint32_t Bits) {
    std::lock_guard Lock(FLock);
    FModem = Bits;
}

void TFakeComPlatform::SetCommErrors(std::uint32_t Bits) {
    std::lock_guard Lock(FLock);
    FCommErrors = Bits;
}

void TFakeComPlatform::SetWriteLimit(std::size_t Limit) {
    std::lock_guard Lock(FLock);
    FWriteLimit = Limit;
}

std::vector<std::string> TFakeComPlatform::Calls() const {
    std::lock_guard Lock(FLock);
    return FCalls;
}

void TFakeComPlatform::ClearCalls() {
    std::lock_guard Lock(FLock);
    FCalls.clear();
}

std::vector<std::uint8_t> TFakeComPlatform::Written() const {
    std::lock_guard Lock(FLock);
    return FWritten;
}

std::size_t TFakeComPlatform::InputQueued() const {
    std::lock_guard Lock(FLock);
    return FInput.size();
}

TComControlBlock TFakeComPlatform::LastState() const {
    std::lock_guard Lock(FLock);
    return FState;
}

TComTimeoutValues TFakeComPlatform::LastTimeouts() const {
    std::lock_guard Lock(FLock);
    return FTimeouts;
}

std::int32_t TFakeComPlatform::LastInputSize() const {
    std::lock_guard Lock(FLock);
    return FInputSize;
}

std::int32_t TFakeComPlatform::LastOutputSize() const {
    std::lock_guard Lock(FLock);
    return FOutputSize;
}

std::uint32_t TFakeComPlatform::EventMask() const {
    std::lock_guard Lock(FLock);
    return FMask;
}

int TFakeComPlatform::OpenDevices() const {
    std::lock_guard Lock(FLock);
    return FOpenCount;
}

bool TFakeComPlatform::Waiting() const {
    std::lock_guard Lock(FLock);
    return FWaiting > 0;
}

bool TFakeComPlatform::WaitUntilWaiting(int TimeoutMs) const {
    std::unique_lock Lock(FLock);
    return FCond.wait_for(Lock, std::chrono::milliseconds(TimeoutMs),
                          [this] { return FWaiting > 0; });
}

int TFakeComPlatform::WaitCalls() const {
    std::lock_guard Lock(FLock);
    return FWaitCalls;
}
