// What to do about a port that did not open, in one line for the journal: who holds it,
// which group may use it, or that it is not there.
#pragma once

#include <string>
#include <string_view>

#include "PortAccess.h"

namespace airconpoll {

// The hint for an open that failed with Error on Port, from a look at its device node;
// empty when there is nothing to add to the error itself.
std::string OpenFailureHint(std::string_view Port, int Error, const TDeviceAccess& Device,
                            const TUserIdentity& User);
// The same for this process, looking at the node itself.
std::string OpenFailureHint(std::string_view Port, int Error);

}  // namespace airconpoll
