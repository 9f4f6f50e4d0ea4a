// The narrow operating-system layer under the serial port component.
//
// The component never calls the operating system itself: it opens a device through an
// IComPlatform and drives it through the returned IComDevice. Every operation returns 0 on
// success or an error code on failure; that code becomes the WinError of the component's failure
// report. The codes are errno values on every platform, so that a cause reads the same wherever
// it happened: the Win32 layer translates the system's error codes (a COM port open elsewhere is
// EBUSY, one that does not exist ENOENT, one that has gone ENODEV); a system error without an
// errno counterpart passes as kWin32ErrorBase plus its code.
//
// Three implementations exist: the POSIX one (PosixComPlatform() below) for real ports and
// pseudo-terminals under Linux, the Win32 one (Win32ComPlatform()) for COM ports under Windows -
// each the default of every component on its system (SystemComPlatform()) - and a scriptable
// fake for tests (testing/FakeComPlatform.h, library CPortTesting, never linked into the program).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

// Port-event bits as the component's event mask carries them.
namespace ComEventBits {
inline constexpr std::uint32_t RxChar = 0x0001;
inline constexpr std::uint32_t RxFlag = 0x0002;
inline constexpr std::uint32_t TxEmpty = 0x0004;
inline constexpr std::uint32_t Cts = 0x0008;
inline constexpr std::uint32_t Dsr = 0x0010;
inline constexpr std::uint32_t Rlsd = 0x0020;
inline constexpr std::uint32_t Break = 0x0040;
inline constexpr std::uint32_t Err = 0x0080;
inline constexpr std::uint32_t Ring = 0x0100;
inline constexpr std::uint32_t Rx80Full = 0x0400;
}  // namespace ComEventBits

// Modem line bits reported by IComDevice::ModemStatus.
namespace ComModemBits {
inline constexpr std::uint32_t CtsOn = 0x0010;
inline constexpr std::uint32_t DsrOn = 0x0020;
inline constexpr std::uint32_t RingOn = 0x0040;
inline constexpr std::uint32_t RlsdOn = 0x0080;
}  // namespace ComModemBits

// Communication-error bits reported by IComDevice::ClearError.
namespace ComErrorBits {
inline constexpr std::uint32_t RxOver = 0x0001;
inline constexpr std::uint32_t Overrun = 0x0002;
inline constexpr std::uint32_t RxParity = 0x0004;
inline constexpr std::uint32_t Frame = 0x0008;
inline constexpr std::uint32_t Break = 0x0010;
inline constexpr std::uint32_t TxFull = 0x0100;
inline constexpr std::uint32_t IOE = 0x0400;
inline constexpr std::uint32_t Mode = 0x8000;
}  // namespace ComErrorBits

// Flags of IComDevice::Purge.
namespace ComPurgeFlags {
inline constexpr std::uint32_t TxAbort = 0x0001;
inline constexpr std::uint32_t RxAbort = 0x0002;
inline constexpr std::uint32_t TxClear = 0x0004;
inline constexpr std::uint32_t RxClear = 0x0008;
}  // namespace ComPurgeFlags

// The device control block: the complete line state that IComDevice::SetState applies.
// StopBits, Parity, DtrControl and RtsControl carry the ordinal values of TStopBits,
// TParityBits, TDTRFlowControl and TRTSFlowControl.
struct TComControlBlock {
    std::int32_t BaudRate = 9600;  // bits per second
    bool Binary = true;
    bool ParityCheck = false;
    bool OutxCtsFlow = false;
    bool OutxDsrFlow = false;
    std::uint8_t DtrControl = 0;  // 0 off, 1 on, 2 handshake
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = false;
    bool OutX = false;
    bool InX = false;
    bool ErrorCharEnabled = false;
    bool Null = false;
    std::uint8_t RtsControl = 0;  // 0 off, 1 on, 2 handshake, 3 toggle
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;  // 5 to 8
    std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    std::uint8_t XonChar = 17;
    std::uint8_t XoffChar = 19;
    std::uint8_t ErrorChar = 0;
    std::uint8_t EvtChar = 0;

    friend bool operator==(const TComControlBlock&, const TComControlBlock&) = default;
};

// Read and write time-outs in milliseconds; 0xFFFFFFFF stands for -1. A write of N bytes
// ends after at most WriteTotalMultiplier * N + WriteTotalConstant ms (both 0: no limit).
struct TComTimeoutValues {
    std::uint32_t ReadIntervalTimeout = 0xFFFFFFFF;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 100;
    std::uint32_t WriteTotalTimeoutConstant = 1000;

    friend bool operator==(const TComTimeoutValues&, const TComTimeoutValues&) = default;
};

// Whether an operation failed because the device has gone (adapter pulled out, far end of a
// pseudo-terminal closed): a hung-up device answers every request with one of these.
inline bool DeviceGone(int Error) {
    return Error == EIO || Error == ENXIO || Error == ENODEV;
}

// Whether the rate a driver reports back is the rate asked for. A driver that cannot make a rate
// puts another one in its place (9600, or the rate it had) without a word; one that makes it
// only nearly reports what it made. Two per cent off is well within what an asynchronous line
// bears; a substitute is much further off.
inline bool SameLineRate(std::int64_t Asked, std::int64_t Got) {
    const std::int64_t Diff = Got > Asked ? Got - Asked : Asked - Got;
    return Diff * 50 <= Asked;
}

// Outcome of one IComDevice::WaitEvent.
enum class TComWaitResult {
    Events,   // port events occurred; Mask holds their bits
    Stopped,  // CancelWait was called
    HangUp,   // the device has gone (adapter pulled out, other side of a pty closed); Error tells
    Failed,   // the wait itself failed; Error tells
};

// One open device. All operations are called on the main thread except WaitEvent (the event
// thread) and CancelWait (any thread); an implementation must allow WaitEvent to run
// concurrently with the others.
class IComDevice {
  public:
    virtual ~IComDevice() = default;  // releases the device if Close was not called

    virtual int SetupQueues(std::int32_t InputSize, std::int32_t OutputSize) = 0;
    virtual int SetState(const TComControlBlock& Block) = 0;
    virtual int SetTimeouts(const TComTimeoutValues& Timeouts) = 0;
    // The set of port events WaitEvent watches (ComEventBits).
    virtual int SetEventMask(std::uint32_t Mask) = 0;
    // Blocks until a watched event occurs, the device hangs up, the wait fails or CancelWait
    // is called. Once CancelWait has been called every later WaitEvent returns Stopped at once.
    virtual TComWaitResult WaitEvent(std::uint32_t& Mask, int& Error) = 0;
    virtual void CancelWait() = 0;
    // Reads up to Buffer.size() bytes that are already waiting; never blocks for more.
    virtual int Read(std::span<std::uint8_t> Buffer, std::size_t& Done) = 0;
    // Hands the bytes to the driver and waits until they are sent, bounded by the write
    // time-outs; Done is the number actually sent (less than asked when cut off by the time-out).
    virtual int Write(std::span<const std::uint8_t> Buffer, std::size_t& Done) = 0;
    // ComPurgeFlags. The abort flags end transfers in progress and drop no received or queued
    // byte; the clear flags discard the input or output queue.
    virtual int Purge(std::uint32_t Flags) = 0;
    // Bytes waiting in the input queue and the communication errors since the last call
    // (ComErrorBits); reading clears the error state.
    virtual int ClearError(std::uint32_t& Errors, std::uint32_t& InQueue) = 0;
    virtual int ModemStatus(std::uint32_t& Status) = 0;  // ComModemBits
    virtual int Close() = 0;
};

class IComPlatform {
  public:
    virtual ~IComPlatform() = default;
    // Opens the port named Port for reading and writing with exclusive access. Returns the
    // device, or nullptr with the cause in Error.
    virtual std::unique_ptr<IComDevice> Open(const std::string& Port, int& Error) = 0;
    // The platform's own description of an error code.
    virtual std::string ErrorText(int Error) const;
};

// Win32 error codes that have no errno counterpart pass as this base plus the code.
inline constexpr int kWin32ErrorBase = 100000;

// What a platform can do with the line, where the systems differ. A setting a platform cannot
// carry out is refused (SetState fails with EINVAL), never approximated.
struct TComAbilities {
    bool OneAndHalfStopBits = false;  // 1.5 stop bits (with 5 data bits)
    bool RtsToggle = false;           // RTS raised while sending only
    bool DtrHandshake = false;        // DTR as input flow control
};

#ifdef _WIN32
// The Win32 platform (COM ports, "COM3" opens \\.\COM3); one shared instance.
std::shared_ptr<IComPlatform> Win32ComPlatform();
inline constexpr TComAbilities kSystemComAbilities{true, true, true};
#else
// The POSIX platform (real serial ports and pseudo-terminals); one shared instance.
std::shared_ptr<IComPlatform> PosixComPlatform();
inline constexpr TComAbilities kSystemComAbilities{false, false, false};
#endif
// The platform of this system: the default of every component.
std::shared_ptr<IComPlatform> SystemComPlatform();
