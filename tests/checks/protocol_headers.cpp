// The wire formats compile as kernel C++ with the driver's flags.
#include "port_messages.h"
#include "request_payloads.h"

static_assert(tavo::protocol::kEnvelopeOverhead == 24, "envelope overhead");
