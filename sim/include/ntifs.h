// The simulation's ntifs.h: the WDK kernel API a file-system minifilter uses,
// with the WDK's names, documented signatures, real constant values and the
// Windows type widths. Driver sources include <fltKernel.h>, which includes
// this header. Each area lives in its own header under nt/.
#pragma once

#include "nt/ntdef.h"
#include "nt/ntstatus.h"
#include "nt/ob.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/registry.h"
#include "nt/process.h"
#include "nt/debug.h"
#include "nt/mm.h"
#include "nt/io.h"
#include "nt/fileinfo.h"
#include "nt/security.h"
