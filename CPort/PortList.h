// The serial ports present on this machine, as names that TCustomComPort::SetPort accepts.
//
// On Linux a port in the device folder is named as the kernel names it, relative to that folder
// ("ttyS0", "ttyUSB0", "ttyV0"); a port anywhere else is named by its absolute path
// ("/home/me/vport"). On Windows a port is named as the system names it ("COM3").
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Case-insensitive ascending order ("ttyS1" < "ttyS10" < "ttyS2"); names equal but for letter
// case fall back to plain byte order so that the result does not depend on input order.
bool PortNameLess(std::string_view A, std::string_view B);
void SortPortNames(std::vector<std::string>& Ports);

// Where the scan looks. Tests point these at a fake tree. Windows has no such folders: there
// both are empty, and the functions that take them ask the system (the registry) instead.
struct TPortScanRoots {
#ifdef _WIN32
    std::string Sys;
    std::string Dev;
#else
    std::string Sys = "/sys";  // sysfs: <Sys>/class/tty/<name>/...
    std::string Dev = "/dev";  // device nodes and the links to pseudo-terminals
#endif
};

#ifdef _WIN32
// Replaces the contents of Ports with the ports the registry lists as present (the data of the
// values of HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, "COM3" and the like), sorted by
// PortNameLess, duplicates kept. When the key cannot be opened nothing is known: Ports is left
// as it was and the result is false. Nothing is reported.
bool ListSerialPorts(std::vector<std::string>& Ports);

// True when Port names a device the system knows ("COM3", also one the registry does not list).
bool PortDeviceExists(std::string_view Port);

// The same with roots, so that the port selector is one code on every system: the roots are
// empty and not looked at. Windows has no stable names beside the COM names: none.
TPortScanRoots DefaultPortScanRoots();
bool ListSerialPorts(std::vector<std::string>& Ports, const TPortScanRoots& Roots);
bool PortDeviceExists(std::string_view Port, const TPortScanRoots& Roots);
std::vector<std::string> ListStablePortNames(const TPortScanRoots& Roots);
#else

// Roots used by ListSerialPorts(Ports) and the port selector; "/sys" and "/dev" unless changed.
TPortScanRoots DefaultPortScanRoots();
void SetDefaultPortScanRoots(TPortScanRoots Roots);

// Replaces the contents of Ports with the ports present, sorted by PortNameLess, duplicates kept:
// - serial devices that sysfs shows (on-board UARTs, USB adapters ttyUSB*/ttyACM*, other serial
//   drivers), leaving out the legacy ports that the serial driver reports as of unknown type
//   (no UART behind them) and those without a node in the device folder;
// - symbolic links directly in the device folder that point to a pseudo-terminal (pts/N), the
//   usual way of making a virtual port pair as root (socat, the bundled simulator).
// An existing tree with no ports gives an empty list. When the sysfs tty folder or the device
// folder cannot be read at all, nothing is known: Ports is left as it was and the result is false.
// Nothing is reported.
bool ListSerialPorts(std::vector<std::string>& Ports);
bool ListSerialPorts(std::vector<std::string>& Ports, const TPortScanRoots& Roots);

// The stable names of USB serial adapters that udev makes in <Dev>/serial/by-id, as absolute
// paths ("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"), sorted by
// PortNameLess: such a name stays with the adapter whichever ttyUSB number it gets. Links that
// lead nowhere are left out; no folder means none.
std::vector<std::string> ListStablePortNames(const TPortScanRoots& Roots);

// The device path a port name stands for: an absolute path is taken as it is, any other name is
// relative to the device folder.
std::string PortDevicePath(std::string_view Port, const TPortScanRoots& Roots);

// True when Port names a character device, directly or through symbolic links. Used to offer a
// stored port that the scan cannot see (for instance a link to a pseudo-terminal in a folder of the
// user's, made without root rights).
bool PortDeviceExists(std::string_view Port, const TPortScanRoots& Roots);
bool PortDeviceExists(std::string_view Port);
#endif
