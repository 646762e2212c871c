// The Windows build's fltUser.h: the Filter Manager's user-mode API from the
// SDK (spelled fltuser.h there), after windows.h. The simulation supplies a
// header of the same name with the same declarations.
#pragma once

#include "windows_base.h"

#include <fltuser.h>
