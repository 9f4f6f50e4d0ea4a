// Who else holds a serial device open: the part of "is this port in use" that neither the lock
// nor the terminal's exclusive flag can tell, because the other program claimed neither.
#pragma once

namespace portholders {

enum class TWho {
    OtherProcesses,  // a program that holds the device
    AnyDescriptor,   // any descriptor but Fd itself, this process's own included
};

// Whether the device open on descriptor Fd is held open elsewhere as well. Looks through the
// open descriptors of every process it may see (/proc/<pid>/fd): all processes for root, only
// the caller's own user's otherwise, and none that /proc hides (another PID namespace, hidepid).
// The far end of a pseudo-terminal, a process holding both its slave and its master (socat, the
// simulator keeping the line up), is no holder.
bool HeldElsewhere(int Fd, TWho Who);

}  // namespace portholders
