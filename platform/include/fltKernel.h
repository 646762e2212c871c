// Filter Manager declarations (fltKernel.h), written from the public
// documentation. Used by the simulation build and by the native kernel build
// (against mingw-w64's ntifs.h), so it depends only on names ntifs.h defines.
#pragma once
#include <ntifs.h>

#include "flt/ports.h"
