// Compiled with the driver's flags: the kernel headers a driver includes must
// build as kernel C++17 with no standard-library or system header in reach.
#include <ntifs.h>
#include <fltKernel.h>

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64 integer widths");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING layout");
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY layout");
