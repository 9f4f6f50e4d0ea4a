// The serial port component: opening, closing and writing, and the failure reports.
#include "CPort.h"

#include <array>
#include <cerrno>
#include <limits>
#include <utility>

#include "CPortPrivate.h"

namespace {

constexpr std::array<std::string_view, 24> kMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
    "Port Not Open",
};

bool ValidCode(int Code) {
    return Code >= 1 && Code <= static_cast<int>(kMessages.size());
}

}  // namespace

std::string_view ComErrorMessage(int Code) {
    return ValidCode(Code) ? kMessages[static_cast<std::size_t>(Code - 1)] : std::string_view{};
}

TComExceptions ComErrorKind(int Code) {
    if (!ValidCode(Code)) throw std::out_of_range("serial port failure code out of range");
    return static_cast<TComExceptions>(Code - 1);
}

int ComErrorCode(TComExceptions Kind) {
    return static_cast<int>(Kind) + 1;
}

// ---------------------------------------------------------------------------------------------
// EComPort

EComPort::EComPort(int ACode, std::int32_t AWinCode, const std::string& Message)
    : std::runtime_error(Message), FWinCode(AWinCode), FCode(ACode) {}

EComPort::EComPort(int ACode, std::int32_t AWinCode)
    : EComPort(ACode, AWinCode,
               std::string(ComErrorMessage(ACode)) + " (Error: " + std::to_string(AWinCode) + ")") {
}

EComPort EComPort::CreateNoWinCode(int ACode) {
    return EComPort(ACode, -1, std::string(ComErrorMessage(ACode)));
}

// ---------------------------------------------------------------------------------------------
// Construction and the platform

TCustomComPort::TCustomComPort(std::string Name, std::shared_ptr<IComPlatform> Platform,
                               IComHandOver* HandOver)
    : FName(std::move(Name)),
      FImpl(std::make_unique<TComPortPrivate>(
          *this, Platform ? std::move(Platform) : SystemComPlatform(), HandOver)) {}

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        // A failure while closing for good has nobody left to tell.
    }
}

const std::shared_ptr<IComPlatform>& TCustomComPort::Platform() const {
    return FImpl->Platform;
}

IComHandOver* TCustomComPort::HandOver() const {
    return FImpl->HandOver;
}

bool TCustomComPort::Connected() const {
    return FImpl->Connected;
}

bool TCustomComPort::ThreadCreated() const {
    return FImpl->ThreadCreated();
}

void TCustomComPort::SetPlatform(std::shared_ptr<IComPlatform> Platform) {
    if (FImpl->Connected) {
        ReportError(TComExceptions::CE_ConnChangeProp, 0);
        return;
    }
    FImpl->Platform = Platform ? std::move(Platform) : SystemComPlatform();
}

void TCustomComPort::SetHandOver(IComHandOver* HandOver) {
    if (FImpl->Connected) {
        ReportError(TComExceptions::CE_ConnChangeProp, 0);
        return;
    }
    FImpl->HandOver = HandOver;
}

// ---------------------------------------------------------------------------------------------
// Failure reports

void TCustomComPort::ReportError(int Code, std::int64_t WinError) {
    ReportError(ComErrorKind(Code), WinError);
}

void TCustomComPort::ReportError(TComExceptions Kind, std::int64_t WinError) {
    const int Code = ComErrorCode(Kind);
    if (!ValidCode(Code)) throw std::out_of_range("serial port failure kind out of range");
    if (OnException) {
        std::string WinMessage;
        if (WinError > 0) {
            WinMessage = "System Error.  Code: " + std::to_string(WinError) + ".\r\n" +
                         FImpl->Platform->ErrorText(static_cast<int>(WinError));
        }
        FireEvent(OnException, *this, Kind, std::string(ComErrorMessage(Code)), WinError,
                  WinMessage);
        return;
    }
    if (WinError > 0) throw EComPort(Code, static_cast<std::int32_t>(WinError));
    throw EComPort::CreateNoWinCode(Code);
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TCustomComPort::Open() {
    TComPortPrivate& d = *FImpl;
    if (d.Connected) return;
    FireEvent(OnBeforeOpen, *this);
    OpenDevice();
    if (!d.Handle) return;
    d.Connected = true;

    bool Applied = false;
    try {
        Applied = ApplyPortSettings();
    } catch (...) {
        // The report left Open: still release the device before it goes on.
        CloseDevice();
        d.Connected = false;
        throw;
    }
    if (!Applied || !d.Connected) {
        CloseDevice();
        d.Connected = false;
        return;
    }

    if (!FEvents.Empty()) d.StartEventThread();

    FireEvent(OnAfterOpen, *this);
    d.ReadModemLine(ComModemBits::CtsOn, OnCTSChange);
    d.ReadModemLine(ComModemBits::DsrOn, OnDSRChange);
    d.ReadModemLine(ComModemBits::RlsdOn, OnRLSDChange);
}

void TCustomComPort::Close() {
    TComPortPrivate& d = *FImpl;
    if (!d.Connected || d.Closing) return;
    d.Closing = true;

    // Every step runs even when an earlier one raises, so the thread is always stopped and
    // the device always released; the first exception leaves Close afterwards.
    std::exception_ptr First;
    auto Step = [&First](auto&& Action) {
        try {
            Action();
        } catch (...) {
            if (!First) First = std::current_exception();
        }
    };
    Step([&] { FireEvent(OnCTSChange, *this, false); });
    Step([&] { FireEvent(OnDSRChange, *this, false); });
    Step([&] { FireEvent(OnRLSDChange, *this, false); });
    Step([&] { FireEvent(OnBeforeClose, *this); });
    // Abort the transfers in progress; bytes an event already announced stay to be read.
    Step([&] {
        if (!d.Handle) return;
        const int Error = d.Handle->Purge(ComPurgeFlags::TxAbort | ComPurgeFlags::RxAbort);
        if (Error != 0) ReportError(TComExceptions::CE_PurgeFailed, Error);
    });
    if (d.ThreadCreated()) d.StopEventThread();
    Step([&] { CloseDevice(); });
    d.Connected = false;
    d.Closing = false;
    Step([&] { FireEvent(OnAfterClose, *this); });
    if (First) std::rethrow_exception(First);
}

void TCustomComPort::SetConnected(bool Value) {
    if (Value)
        Open();
    else
        Close();
}

void TCustomComPort::OpenDevice() {
    int Error = 0;
    std::unique_ptr<IComDevice> Device = FImpl->Platform->Open(FPort, Error);
    if (!Device) {
        ReportError(TComExceptions::CE_OpenFailed, Error > 0 ? Error : EIO);
        return;
    }
    FImpl->Handle = std::move(Device);
}

void TCustomComPort::CloseDevice() {
    if (!FImpl->Handle) return;
    // The device is released even when closing reports a failure; there is nothing left to
    // retry it on.
    std::unique_ptr<IComDevice> Device = std::move(FImpl->Handle);
    Device->Close();
}

// The setters that touch the connection itself.

void TCustomComPort::SetPort(std::string Value) {
    if (Value == FPort) return;
    FPort = std::move(Value);
    if (FImpl->Connected) {
        Close();
        Open();
    }
}

void TCustomComPort::SetEvents(TComEvents Value) {
    FEvents = Value;
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (Value == FSyncMethod) return;
    if (FImpl->Connected) {
        ReportError(TComExceptions::CE_ConnChangeProp, 0);
        return;
    }
    FSyncMethod = Value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority Value) {
    if (Value == FEventThreadPriority) return;
    if (FImpl->Connected) {
        ReportError(TComExceptions::CE_ConnChangeProp, 0);
        return;
    }
    FEventThreadPriority = Value;
}

// ---------------------------------------------------------------------------------------------
// Writing

std::int32_t TCustomComPort::Write(std::span<const std::uint8_t> Buffer) {
    if (Buffer.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        ReportError(TComExceptions::CE_WriteFailed, EINVAL);
        return 0;
    }
    return Write(Buffer.data(), static_cast<std::int32_t>(Buffer.size()));
}

std::int32_t TCustomComPort::Write(const void* Buffer, std::int32_t Count) {
    IComDevice* Device = FImpl->Handle.get();
    if (!Device) {
        ReportError(TComExceptions::CEPortNotOpen, -24);
        // With a handler bound the transfer is still attempted, and the closed port refuses it.
        ReportError(TComExceptions::CE_WriteFailed, EBADF);
        return 0;
    }
    if (Count < 0 || (Count > 0 && Buffer == nullptr)) {
        ReportError(TComExceptions::CE_WriteFailed, Count < 0 ? EINVAL : EFAULT);
        return 0;
    }
    std::size_t Done = 0;
    const int Error =
        Device->Write(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(Buffer),
                                                    static_cast<std::size_t>(Count)),
                      Done);
    if (Error != 0) {
        ReportError(TComExceptions::CE_WriteFailed, Error);
        return 0;
    }
    return static_cast<std::int32_t>(std::min<std::size_t>(Done, static_cast<std::size_t>(Count)));
}
