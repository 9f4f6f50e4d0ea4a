// The Win32 platform: COM ports through the communications API, with overlapped transfers and
// the event wait on WaitCommEvent.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwctype>
#include <string>

#include "ComPlatform.h"
#include "Win32Errors.h"
#include "Win32Text.h"

namespace {

using platform::Widen;
using win32errors::FromSystem;
using win32errors::TWhere;

int LastError(TWhere Where = TWhere::Transfer) {
    const int Error = FromSystem(::GetLastError(), Where);
    return Error != 0 ? Error : EIO;  // a failure that names no cause is still a failure
}

// A manual-reset event owned by one object.
class TEvent {
  public:
    explicit TEvent(bool Signalled = false)
        : FHandle(::CreateEventW(nullptr, TRUE, Signalled ? TRUE : FALSE, nullptr)) {}
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;
    ~TEvent() {
        if (FHandle) ::CloseHandle(FHandle);
    }
    HANDLE Get() const { return FHandle; }
    explicit operator bool() const { return FHandle != nullptr; }

  private:
    HANDLE FHandle;
};

// Modem-line events: a device without modem lines never raises them.
constexpr std::uint32_t kLineEvents =
    ComEventBits::Cts | ComEventBits::Dsr | ComEventBits::Rlsd | ComEventBits::Ring;

// A device without modem lines (a pseudo-terminal behind Wine, some USB adapters) answers the
// modem status query with one of these.
bool NoModemLines(DWORD Code) {
    return Code == ERROR_NOT_SUPPORTED || Code == ERROR_INVALID_FUNCTION ||
           Code == ERROR_INVALID_PARAMETER;
}

class TWin32Device final : public IComDevice {
  public:
    TWin32Device(HANDLE Handle, HANDLE Claim, bool HasModemLines)
        : FHandle(Handle), FClaim(Claim), FHasModemLines(HasModemLines) {}
    ~TWin32Device() override { Close(); }

    bool Ready() const { return FStop && FWait && FRead && FWrite; }

    int SetupQueues(std::int32_t InputSize, std::int32_t OutputSize) override {
        if (InputSize <= 0 || OutputSize <= 0) return EINVAL;
        if (!Valid()) return EBADF;
        return ::SetupComm(FHandle, static_cast<DWORD>(InputSize), static_cast<DWORD>(OutputSize))
                   ? 0
                   : LastError();
    }

    int SetState(const TComControlBlock& Block) override {
        if (!Valid()) return EBADF;
        if (Block.BaudRate <= 0 || Block.ByteSize < 5 || Block.ByteSize > 8 || Block.Parity > 4 ||
            Block.StopBits > 2 || Block.DtrControl > 2 || Block.RtsControl > 3)
            return EINVAL;
        DCB Dcb{};
        Dcb.DCBlength = sizeof Dcb;
        Dcb.BaudRate = static_cast<DWORD>(Block.BaudRate);
        Dcb.fBinary = 1;
        Dcb.fParity = Block.ParityCheck;
        Dcb.fOutxCtsFlow = Block.OutxCtsFlow;
        Dcb.fOutxDsrFlow = Block.OutxDsrFlow;
        Dcb.fDtrControl = Block.DtrControl;
        Dcb.fDsrSensitivity = Block.DsrSensitivity;
        Dcb.fTXContinueOnXoff = Block.TxContinueOnXoff;
        Dcb.fOutX = Block.OutX;
        Dcb.fInX = Block.InX;
        Dcb.fErrorChar = Block.ErrorCharEnabled;
        Dcb.fNull = Block.Null;
        Dcb.fRtsControl = Block.RtsControl;
        Dcb.fAbortOnError = 0;
        Dcb.XonLim = Block.XonLim;
        Dcb.XoffLim = Block.XoffLim;
        Dcb.ByteSize = Block.ByteSize;
        Dcb.Parity = Block.Parity;
        Dcb.StopBits = Block.StopBits;
        Dcb.XonChar = static_cast<char>(Block.XonChar);
        Dcb.XoffChar = static_cast<char>(Block.XoffChar);
        Dcb.ErrorChar = static_cast<char>(Block.ErrorCharEnabled ? Block.ErrorChar : 0);
        Dcb.EvtChar = static_cast<char>(Block.EvtChar);
        if (!::SetCommState(FHandle, &Dcb)) {
            // A driver that does not carry out a setting says so in one of two ways; either
            // is a setting the platform cannot take.
            const DWORD Code = ::GetLastError();
            if (Code == ERROR_NOT_SUPPORTED || Code == ERROR_INVALID_PARAMETER) return EINVAL;
            return FromSystem(Code, TWhere::Transfer);
        }

        // Some drivers drop what they cannot do (a rate, a character format) without a word:
        // read the state back and refuse the settings when the format or the rate did not hold.
        DCB Check{};
        Check.DCBlength = sizeof Check;
        if (!::GetCommState(FHandle, &Check)) return LastError();
        if (!SameLineRate(Block.BaudRate, static_cast<std::int64_t>(Check.BaudRate))) return EINVAL;
        if (Check.ByteSize != Dcb.ByteSize || Check.Parity != Dcb.Parity ||
            Check.StopBits != Dcb.StopBits)
            return EINVAL;
        return 0;
    }

    int SetTimeouts(const TComTimeoutValues& Timeouts) override {
        if (!Valid()) return EBADF;
        COMMTIMEOUTS Values{};
        Values.ReadIntervalTimeout = Timeouts.ReadIntervalTimeout;
        Values.ReadTotalTimeoutMultiplier = Timeouts.ReadTotalTimeoutMultiplier;
        Values.ReadTotalTimeoutConstant = Timeouts.ReadTotalTimeoutConstant;
        Values.WriteTotalTimeoutMultiplier = Timeouts.WriteTotalTimeoutMultiplier;
        Values.WriteTotalTimeoutConstant = Timeouts.WriteTotalTimeoutConstant;
        return ::SetCommTimeouts(FHandle, &Values) ? 0 : LastError();
    }

    // The event bits are those of the system (EV_RXCHAR and so on). A device without modem lines
    // is not asked to watch them: some refuse every wait that includes them.
    int SetEventMask(std::uint32_t Mask) override {
        if (!Valid()) return EBADF;
        const DWORD Watched = FHasModemLines.load() ? Mask : Mask & ~kLineEvents;
        return ::SetCommMask(FHandle, Watched) ? 0 : LastError();
    }

    TComWaitResult WaitEvent(std::uint32_t& Mask, int& Error) override {
        for (;;) {
            if (FCancelled.load()) return TComWaitResult::Stopped;
            if (!Valid()) {
                Error = EBADF;
                return TComWaitResult::Failed;
            }
            OVERLAPPED Ov{};
            Ov.hEvent = FWait.Get();
            ::ResetEvent(Ov.hEvent);
            DWORD Occurred = 0;
            if (!::WaitCommEvent(FHandle, &Occurred, &Ov)) {
                const DWORD Code = ::GetLastError();
                if (Code != ERROR_IO_PENDING) return Fail(Code, Error);
                const HANDLE Objects[2] = {FStop.Get(), FWait.Get()};
                const DWORD Woken = ::WaitForMultipleObjects(2, Objects, FALSE, INFINITE);
                if (Woken != WAIT_OBJECT_0 + 1) {
                    // Stopped (or the wait itself broke): end the pending wait before its
                    // record goes out of scope.
                    DWORD Ignored = 0;
                    if (!::CancelIoEx(FHandle, &Ov)) ::SetCommMask(FHandle, 0);
                    ::GetOverlappedResult(FHandle, &Ov, &Ignored, TRUE);
                    if (Woken == WAIT_OBJECT_0) continue;  // FCancelled is set
                    Error = LastError();
                    return TComWaitResult::Failed;
                }
                DWORD Ignored = 0;
                if (!::GetOverlappedResult(FHandle, &Ov, &Ignored, FALSE)) {
                    const DWORD Failure = ::GetLastError();
                    if (Failure == ERROR_OPERATION_ABORTED && FCancelled.load())
                        return TComWaitResult::Stopped;
                    return Fail(Failure, Error);
                }
            }
            if (Occurred != 0) {
                Mask = Occurred;
                return TComWaitResult::Events;
            }
            // A wait ended without events: the mask was changed, or the device went. A device
            // that has gone answers the error query with the cause.
            DWORD Errors = 0;
            COMSTAT Stat{};
            if (!::ClearCommError(FHandle, &Errors, &Stat)) return Fail(::GetLastError(), Error);
            if (Errors != 0) FPendingErrors.fetch_or(Errors);
        }
    }

    void CancelWait() override {
        FCancelled.store(true);
        if (FStop) ::SetEvent(FStop.Get());
    }

    // Takes only what the input queue holds, so a read never waits for more whatever the
    // read time-outs say. The errors the queue query clears are kept for ClearError.
    int Read(std::span<std::uint8_t> Buffer, std::size_t& Done) override {
        Done = 0;
        if (!Valid()) return EBADF;
        if (Buffer.empty()) return 0;
        DWORD Errors = 0;
        COMSTAT Stat{};
        if (!::ClearCommError(FHandle, &Errors, &Stat)) return LastError();
        if (Errors != 0) FPendingErrors.fetch_or(Errors);
        const DWORD Want = static_cast<DWORD>(std::min<std::size_t>(Buffer.size(), Stat.cbInQue));
        if (Want == 0) return 0;
        DWORD Got = 0;
        if (const int Error = Transfer(
                FRead,
                [&](OVERLAPPED& Ov) {
                    return ::ReadFile(FHandle, Buffer.data(), Want, nullptr, &Ov);
                },
                Got);
            Error != 0)
            return Error;
        Done = Got;
        return 0;
    }

    // The write time-outs bound the wait: the driver ends a transfer cut off by them with the
    // count it sent.
    int Write(std::span<const std::uint8_t> Buffer, std::size_t& Done) override {
        Done = 0;
        if (!Valid()) return EBADF;
        std::size_t Offset = 0;
        while (Offset < Buffer.size()) {
            const DWORD Chunk = static_cast<DWORD>(
                std::min<std::size_t>(Buffer.size() - Offset, std::size_t{1} << 30));
            DWORD Sent = 0;
            if (const int Error = Transfer(
                    FWrite,
                    [&](OVERLAPPED& Ov) {
                        return ::WriteFile(FHandle, Buffer.data() + Offset, Chunk, nullptr, &Ov);
                    },
                    Sent);
                Error != 0)
                return Error;
            Offset += Sent;
            Done = Offset;
            if (Sent < Chunk) break;  // cut off by the write time-out
        }
        return 0;
    }

    int Purge(std::uint32_t Flags) override {
        if (!Valid()) return EBADF;
        // Reads and writes are never in flight here (both finish before they return), so
        // aborting them drops nothing: bytes already announced to the main thread stay for it to
        // read. The abort only tells whether the device is still there. (Wine carries out an
        // abort by discarding the queues, which would lose those bytes.)
        if (Flags & (ComPurgeFlags::TxAbort | ComPurgeFlags::RxAbort)) {
            DCB Dcb{};
            Dcb.DCBlength = sizeof Dcb;
            if (!::GetCommState(FHandle, &Dcb)) return LastError();
        }
        // The clear flags are those of the system (PURGE_TXCLEAR, PURGE_RXCLEAR).
        const DWORD Clear = Flags & (ComPurgeFlags::TxClear | ComPurgeFlags::RxClear);
        if (Clear == 0) return 0;
        return ::PurgeComm(FHandle, Clear) ? 0 : LastError();
    }

    int ClearError(std::uint32_t& Errors, std::uint32_t& InQueue) override {
        Errors = 0;
        InQueue = 0;
        if (!Valid()) return EBADF;
        DWORD Found = 0;
        COMSTAT Stat{};
        if (!::ClearCommError(FHandle, &Found, &Stat)) return LastError();
        // The error bits are those of the system (CE_FRAME and so on).
        Errors = Found | FPendingErrors.exchange(0);
        InQueue = Stat.cbInQue;
        return 0;
    }

    int ModemStatus(std::uint32_t& Status) override {
        Status = 0;
        if (!Valid()) return EBADF;
        // No modem lines at all: every line is off, as on a pseudo-terminal under Linux.
        if (!FHasModemLines.load()) return 0;
        DWORD Lines = 0;
        if (!::GetCommModemStatus(FHandle, &Lines)) {
            const DWORD Code = ::GetLastError();
            if (!NoModemLines(Code)) return FromSystem(Code, TWhere::Transfer);
            FHasModemLines.store(false);
            return 0;
        }
        // The bits are those of the system (MS_CTS_ON and so on).
        Status = Lines & (ComModemBits::CtsOn | ComModemBits::DsrOn | ComModemBits::RingOn |
                          ComModemBits::RlsdOn);
        return 0;
    }

    int Close() override {
        if (!Valid()) return 0;
        const BOOL Closed = ::CloseHandle(FHandle);
        const int Error = Closed ? 0 : LastError();
        FHandle = INVALID_HANDLE_VALUE;
        if (FClaim) ::CloseHandle(FClaim);
        FClaim = nullptr;
        return Error;
    }

  private:
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }

    // One overlapped transfer, waited for to its end; Moved is the byte count it reports.
    template <class F>
    int Transfer(const TEvent& Event, F&& Start, DWORD& Moved) {
        Moved = 0;
        OVERLAPPED Ov{};
        Ov.hEvent = Event.Get();
        ::ResetEvent(Ov.hEvent);
        if (!Start(Ov) && ::GetLastError() != ERROR_IO_PENDING) return LastError();
        if (!::GetOverlappedResult(FHandle, &Ov, &Moved, TRUE)) {
            const DWORD Code = ::GetLastError();
            // A time-out ends the transfer with what was moved: no failure.
            if (Code == ERROR_SEM_TIMEOUT || Code == ERROR_TIMEOUT) return 0;
            Moved = 0;
            return FromSystem(Code, TWhere::Transfer);
        }
        return 0;
    }

    TComWaitResult Fail(DWORD Code, int& Error) {
        if (Code == ERROR_OPERATION_ABORTED && FCancelled.load()) return TComWaitResult::Stopped;
        Error = FromSystem(Code, TWhere::Transfer);
        if (Error == 0) Error = EIO;
        return DeviceGone(Error) ? TComWaitResult::HangUp : TComWaitResult::Failed;
    }

    HANDLE FHandle;
    HANDLE FClaim;  // the claim every user of this component takes on the port (a named mutex)
    std::atomic<bool> FHasModemLines;
    std::atomic<bool> FCancelled{false};
    std::atomic<std::uint32_t> FPendingErrors{0};  // cleared by a queue query, not yet reported
    TEvent FStop;                                  // CancelWait
    TEvent FWait;                                  // the event wait (event thread)
    TEvent FRead;                                  // reads (main thread)
    TEvent FWrite;                                 // writes (main thread)
};

class TWin32ComPlatform final : public IComPlatform {
  public:
    std::unique_ptr<IComDevice> Open(const std::string& Port, int& Error) override {
        Error = 0;
        if (Port.empty() || Port.find('\0') != std::string::npos) {
            Error = ENOENT;
            return nullptr;
        }
        // "COM3" is a device of the system; a full device path is taken as it is.
        const std::wstring Name = Widen(Port);
        const bool FullPath = Name.starts_with(L"\\\\.\\") || Name.starts_with(L"\\\\?\\");
        const std::wstring Path = FullPath ? Name : L"\\\\.\\" + Name;

        // The system refuses a second open of a COM port. A port mapped to another device (Wine)
        // may not, so every user of this component also claims the port by name, as the POSIX
        // layer does with its lock.
        std::wstring ClaimName = L"Local\\AirConTool.Port." + Path.substr(4);
        std::transform(ClaimName.begin(), ClaimName.end(), ClaimName.begin(),
                       [](wchar_t C) { return C == L'\\' ? L'_' : std::towupper(C); });
        HANDLE Claim = ::CreateMutexW(nullptr, FALSE, ClaimName.c_str());
        if (Claim && ::GetLastError() == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(Claim);
            Error = EBUSY;
            return nullptr;
        }

        const HANDLE Handle = ::CreateFileW(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (Handle == INVALID_HANDLE_VALUE) {
            Error = LastError(TWhere::Open);
            if (Claim) ::CloseHandle(Claim);
            return nullptr;
        }
        auto Fail = [&](int Cause) -> std::unique_ptr<IComDevice> {
            ::CloseHandle(Handle);
            if (Claim) ::CloseHandle(Claim);
            Error = Cause;
            return nullptr;
        };
        // Only a communications device has a line state: anything else is no port.
        DCB Dcb{};
        Dcb.DCBlength = sizeof Dcb;
        if (::GetFileType(Handle) != FILE_TYPE_CHAR || !::GetCommState(Handle, &Dcb))
            return Fail(ENOTTY);
        DWORD Lines = 0;
        const bool HasModemLines =
            ::GetCommModemStatus(Handle, &Lines) || !NoModemLines(::GetLastError());
        auto Device = std::make_unique<TWin32Device>(Handle, Claim, HasModemLines);
        if (!Device->Ready()) {
            Error = LastError();
            return nullptr;  // the device releases the port
        }
        return Device;
    }
};

}  // namespace

std::shared_ptr<IComPlatform> Win32ComPlatform() {
    static const std::shared_ptr<IComPlatform> Instance = std::make_shared<TWin32ComPlatform>();
    return Instance;
}

std::shared_ptr<IComPlatform> SystemComPlatform() {
    return Win32ComPlatform();
}
