// Storing the line settings in, and loading them from, the settings file.
#include "CPort.h"
#include "ComText.h"
#include "IniFile.h"

void TCustomComPort::StoreSettings(TStoreType StoreType, const std::string& StoreTo) {
    bool Failed = false;
    try {
        // There is no registry on this platform; asking for it must not look like success.
        if (StoreType != TStoreType::StIniFile) {
            Failed = true;
        } else {
            TIniFile Ini(StoreTo);
            StoreToIni(Ini);
        }
    } catch (...) {
        // The first key that cannot be written ends the store; keys written before it stay.
        Failed = true;
    }
    if (Failed) ReportError(TComExceptions::CE_StoreFailed, 0);
}

void TCustomComPort::LoadSettings(TStoreType StoreType, const std::string& LoadFrom) {
    bool Failed = false;
    // Values change one by one; nothing is applied to an open port until all are in.
    BeginUpdate();
    try {
        if (StoreType != TStoreType::StIniFile) {
            Failed = true;
        } else {
            TIniFile Ini(LoadFrom);
            LoadFromIni(Ini);
        }
    } catch (...) {
        Failed = true;  // values read before the failure stay set
    }
    try {
        EndUpdate();
    } catch (...) {
        Failed = true;
    }
    if (Failed) ReportError(TComExceptions::CE_LoadFailed, 0);
}

void TCustomComPort::StoreToIni(TIniFile& Ini) {
    if (!FStoredProps.Contains(TStoredProp::SpBasic)) return;
    Ini.WriteString(FName, "Port", FPort);
    Ini.WriteString(FName, "BaudRate", BaudRateToText(FBaudRate));
    if (FBaudRate == TBaudRate::BrCustom)
        Ini.WriteInteger(FName, "CustomBaudRate", FCustomBaudRate);
    Ini.WriteString(FName, "StopBits", StopBitsToText(FStopBits));
    Ini.WriteString(FName, "DataBits", DataBitsToText(FDataBits));
    Ini.WriteString(FName, "Parity", ParityToText(FParity.Bits()));
    Ini.WriteString(FName, "FlowControl", FlowControlToText(FFlowControl.FlowControl()));
}

void TCustomComPort::LoadFromIni(TIniFile& Ini) {
    if (!FStoredProps.Contains(TStoredProp::SpBasic)) return;
    // Every read falls back on the current value, so a missing key (or file) changes nothing.
    SetPort(Ini.ReadString(FName, "Port", FPort));
    const bool RateStored = Ini.ValueExists(FName, "BaudRate");
    SetBaudRate(TextToBaudRate(Ini.ReadString(FName, "BaudRate", BaudRateToText(FBaudRate))));
    if (FBaudRate == TBaudRate::BrCustom) {
        // A stored custom rate without its number means 9600, as does a text that is no number.
        // A file that stores no rate at all (or no file) leaves the custom rate in use alone.
        if (RateStored || Ini.ValueExists(FName, "CustomBaudRate"))
            SetCustomBaudRate(Ini.ReadInteger(FName, "CustomBaudRate", 9600));
    }
    SetStopBits(TextToStopBits(Ini.ReadString(FName, "StopBits", StopBitsToText(FStopBits))));
    SetDataBits(TextToDataBits(Ini.ReadString(FName, "DataBits", DataBitsToText(FDataBits))));
    FParity.SetBits(TextToParity(Ini.ReadString(FName, "Parity", ParityToText(FParity.Bits()))));
    FFlowControl.SetFlowControl(TextToFlowControl(
        Ini.ReadString(FName, "FlowControl", FlowControlToText(FFlowControl.FlowControl()))));
}
