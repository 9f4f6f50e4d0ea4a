#include "ComPortLink.h"

// Everything of TComPortLink is inline; this file keeps the header compiled on its
// own with the core.
