// Debug output: every message of the driver goes through DbgPrintEx with the
// IHV driver component and level 0.
#pragma once

#include <fltKernel.h>

#define TAVO_PRINT(...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, __VA_ARGS__)
