// The message the operator sees when a port does not open: the cause (in use, no permission,
// gone, not a serial device) and what to do about it.
#pragma once

#include <QString>

#include "PortAccess.h"

// Error: the error number of the failed open (0 when none was reported). Device and User describe
// the port's node and the running session (see InspectPortDevice).
QString OpenFailureText(const QString& Port, int Error, const TDeviceAccess& Device,
                        const TUserIdentity& User);
// The same for the running session, looking at the port's node now.
QString OpenFailureText(const QString& Port, int Error);
