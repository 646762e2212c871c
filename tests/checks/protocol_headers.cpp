// The wire formats compile as kernel C++ with the driver's flags.
#include "port_messages.h"

static_assert(tavo::protocol::kEnvelopeOverhead == 24, "envelope overhead");
