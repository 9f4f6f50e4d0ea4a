// The line settings: the settings groups, the component's setters, and how the settings map
// onto the line (control block, time-outs, queue sizes) and are applied to the open port.
#include <algorithm>
#include <array>
#include <limits>

#include "CPort.h"
#include "CPortPrivate.h"

namespace {

std::uint8_t LowByte(char16_t c) {
    return static_cast<std::uint8_t>(c & 0xFF);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Settings groups: a change re-applies the group's part of the settings through its component.

void TComBuffer::Assign(const TComBuffer& Source) {
    FInputSize = Source.FInputSize;
    FOutputSize = Source.FOutputSize;
}

void TComBuffer::SetInputSize(std::int32_t Value) {
    if (Value == FInputSize) return;
    FInputSize = (Value > 0 && Value % 2 == 1) ? Value - 1 : Value;
    if (FComPort) FComPort->ApplyQueueSizes();
}

void TComBuffer::SetOutputSize(std::int32_t Value) {
    if (Value == FOutputSize) return;
    FOutputSize = (Value > 0 && Value % 2 == 1) ? Value - 1 : Value;
    if (FComPort) FComPort->ApplyQueueSizes();
}

void TComParity::Assign(const TComParity& Source) {
    FBits = Source.FBits;
    FCheck = Source.FCheck;
    FReplace = Source.FReplace;
    FReplaceChar = Source.FReplaceChar;
}

#define COM_GROUP_SETTER(Class, Name, Type, Apply) \
    void Class::Set##Name(Type Value) {            \
        if (Value == F##Name) return;              \
        F##Name = Value;                           \
        Apply;                                     \
    }

COM_GROUP_SETTER(TComParity, Bits, TParityBits, if (FComPort) FComPort->ApplyControlBlock())
COM_GROUP_SETTER(TComParity, Check, bool, if (FComPort) FComPort->ApplyControlBlock())
COM_GROUP_SETTER(TComParity, Replace, bool, if (FComPort) FComPort->ApplyControlBlock())
COM_GROUP_SETTER(TComParity, ReplaceChar, char16_t, if (FComPort) FComPort->ApplyControlBlock())

void TComTimeouts::Assign(const TComTimeouts& Source) {
    FReadInterval = Source.FReadInterval;
    FReadTotalMultiplier = Source.FReadTotalMultiplier;
    FReadTotalConstant = Source.FReadTotalConstant;
    FWriteTotalMultiplier = Source.FWriteTotalMultiplier;
    FWriteTotalConstant = Source.FWriteTotalConstant;
}

void TComTimeouts::Changed() {
    if (FComPort) FComPort->ApplyTimeoutValues();
}

COM_GROUP_SETTER(TComTimeouts, ReadInterval, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, ReadTotalMultiplier, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, ReadTotalConstant, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, WriteTotalMultiplier, std::int32_t, Changed())
COM_GROUP_SETTER(TComTimeouts, WriteTotalConstant, std::int32_t, Changed())

void TComFlowControl::Assign(const TComFlowControl& Source) {
    FOutCTSFlow = Source.FOutCTSFlow;
    FOutDSRFlow = Source.FOutDSRFlow;
    FControlDTR = Source.FControlDTR;
    FControlRTS = Source.FControlRTS;
    FXonXoffOut = Source.FXonXoffOut;
    FXonXoffIn = Source.FXonXoffIn;
    FDSRSensitivity = Source.FDSRSensitivity;
    FTxContinueOnXoff = Source.FTxContinueOnXoff;
    FXonChar = Source.FXonChar;
    FXoffChar = Source.FXoffChar;
}

void TComFlowControl::Changed() {
    if (FComPort) FComPort->ApplyControlBlock();
}

COM_GROUP_SETTER(TComFlowControl, OutCTSFlow, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, OutDSRFlow, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, ControlDTR, TDTRFlowControl, Changed())
COM_GROUP_SETTER(TComFlowControl, ControlRTS, TRTSFlowControl, Changed())
COM_GROUP_SETTER(TComFlowControl, XonXoffOut, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, XonXoffIn, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, DSRSensitivity, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, TxContinueOnXoff, bool, Changed())
COM_GROUP_SETTER(TComFlowControl, XonChar, char16_t, Changed())
COM_GROUP_SETTER(TComFlowControl, XoffChar, char16_t, Changed())

#undef COM_GROUP_SETTER

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == TRTSFlowControl::RtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return TFlowControl::FcHardware;
    if (FControlRTS == TRTSFlowControl::RtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return TFlowControl::FcSoftware;
    if (FControlRTS == TRTSFlowControl::RtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return TFlowControl::FcNone;
    return TFlowControl::FcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != TFlowControl::FcCustom) {
        FControlRTS = TRTSFlowControl::RtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (Value == TFlowControl::FcHardware) {
            FControlRTS = TRTSFlowControl::RtsHandshake;
            FOutCTSFlow = true;
        } else if (Value == TFlowControl::FcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Changed();
}

// ---------------------------------------------------------------------------------------------
// The component's settings

bool TCustomComPort::CanApply() const {
    return FImpl->Connected && FImpl->Handle && FImpl->UpdateCount == 0;
}

bool TCustomComPort::ApplyPortSettings() {
    return ApplyQueueSizes() && ApplyControlBlock() && ApplyTimeoutValues();
}

bool TCustomComPort::ApplyQueueSizes() {
    if (!CanApply()) return true;
    const int Error = FImpl->Handle->SetupQueues(FBuffer.InputSize(), FBuffer.OutputSize());
    if (Error == 0) return true;
    ReportError(TComExceptions::CE_SetupComFailed, Error);
    return false;
}

bool TCustomComPort::ApplyControlBlock() {
    if (!CanApply()) return true;
    const int Error = FImpl->Handle->SetState(ControlBlock());
    if (Error == 0) return true;
    ReportError(TComExceptions::CE_SetStateFailed, Error);
    return false;
}

bool TCustomComPort::ApplyTimeoutValues() {
    if (!CanApply()) return true;
    const int Error = FImpl->Handle->SetTimeouts(TimeoutValues());
    if (Error == 0) return true;
    ReportError(TComExceptions::CE_TimeoutsFailed, Error);
    return false;
}

TComControlBlock TCustomComPort::ControlBlock() const {
    TComControlBlock Block;
    Block.BaudRate = FBaudRate == TBaudRate::BrCustom ? FCustomBaudRate : BaudRateValue(FBaudRate);
    Block.Binary = true;
    Block.ParityCheck = FParity.Check();
    Block.OutxCtsFlow = FFlowControl.OutCTSFlow();
    Block.OutxDsrFlow = FFlowControl.OutDSRFlow();
    Block.DtrControl = static_cast<std::uint8_t>(FFlowControl.ControlDTR());
    Block.DsrSensitivity = FFlowControl.DSRSensitivity();
    Block.TxContinueOnXoff = FFlowControl.TxContinueOnXoff();
    Block.OutX = FFlowControl.XonXoffOut();
    Block.InX = FFlowControl.XonXoffIn();
    Block.ErrorCharEnabled = FParity.Check() && FParity.Replace();
    Block.Null = FDiscardNull;
    Block.RtsControl = static_cast<std::uint8_t>(FFlowControl.ControlRTS());
    // The limits are 16-bit fields: a queue size beyond their range saturates.
    const std::int32_t Limit = FBuffer.InputSize() / 4;
    Block.XonLim = static_cast<std::uint16_t>(
        std::clamp<std::int32_t>(Limit, 0, std::numeric_limits<std::uint16_t>::max()));
    Block.XoffLim = Block.XonLim;
    Block.ByteSize = static_cast<std::uint8_t>(5 + static_cast<int>(FDataBits));
    Block.Parity = static_cast<std::uint8_t>(FParity.Bits());
    Block.StopBits = static_cast<std::uint8_t>(FStopBits);
    Block.XonChar = LowByte(FFlowControl.XonChar());
    Block.XoffChar = LowByte(FFlowControl.XoffChar());
    Block.ErrorChar = Block.ErrorCharEnabled ? LowByte(FParity.ReplaceChar()) : 0;
    Block.EvtChar = LowByte(FEventChar);
    return Block;
}

TComTimeoutValues TCustomComPort::TimeoutValues() const {
    TComTimeoutValues Values;
    Values.ReadIntervalTimeout = static_cast<std::uint32_t>(FTimeouts.ReadInterval());
    Values.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(FTimeouts.ReadTotalMultiplier());
    Values.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts.ReadTotalConstant());
    Values.WriteTotalTimeoutMultiplier =
        static_cast<std::uint32_t>(FTimeouts.WriteTotalMultiplier());
    Values.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(FTimeouts.WriteTotalConstant());
    return Values;
}

void TCustomComPort::BeginUpdate() {
    ++FImpl->UpdateCount;
}

void TCustomComPort::EndUpdate() {
    if (FImpl->UpdateCount <= 0) return;
    if (--FImpl->UpdateCount == 0) ApplyPortSettings();
}

// --- Setters

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (Value == FBaudRate) return;
    FBaudRate = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetCustomBaudRate(std::int32_t Value) {
    if (Value == FCustomBaudRate) return;
    FCustomBaudRate = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (Value == FDataBits) return;
    FDataBits = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (Value == FStopBits) return;
    FStopBits = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (Value == FDiscardNull) return;
    FDiscardNull = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetEventChar(char16_t Value) {
    if (Value == FEventChar) return;
    FEventChar = Value;
    ApplyControlBlock();
}

void TCustomComPort::SetParity(const TComParity& Value) {
    FParity.Assign(Value);
    ApplyControlBlock();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& Value) {
    FFlowControl.Assign(Value);
    ApplyControlBlock();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& Value) {
    FTimeouts.Assign(Value);
    ApplyTimeoutValues();
}

void TCustomComPort::SetBuffer(const TComBuffer& Value) {
    FBuffer.Assign(Value);
    ApplyQueueSizes();
}
