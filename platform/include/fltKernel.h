// Filter Manager declarations (fltKernel.h), written from the public documentation.
#pragma once
#include <ntifs.h>
