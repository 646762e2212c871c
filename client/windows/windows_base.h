// windows.h with every NTSTATUS code: the status codes windows.h defines
// for itself are held back (WIN32_NO_STATUS) so that ntstatus.h can define
// them all once.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
