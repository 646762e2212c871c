// Force-included into every translation unit of the native kernel build:
// what the current WDK provides and mingw-w64's DDK headers (version 10) do
// not. Each definition follows the public documentation. The macros are only
// defined when the mingw-w64 headers lack them; __fastfail must be removed
// here once mingw-w64 declares it.
#pragma once
#include <ntifs.h>

#ifdef __cplusplus
extern "C" {
#endif

// __fastfail (an MSVC intrinsic): ends the process or, in kernel mode, bug
// checks with KERNEL_SECURITY_CHECK_FAILURE. On x64 it is `int 29h` with the
// failure code in ECX; it does not return.
static __inline__ __attribute__((always_inline, noreturn)) void __fastfail(unsigned int Code) {
  __asm__ __volatile__("int $0x29" : : "c"(Code) : "memory");
  __builtin_unreachable();
}

#ifdef __cplusplus
}
#endif

// Process access rights (ntddk.h in the WDK; mingw-w64 has them only in the
// user-mode winnt.h).
#ifndef PROCESS_TERMINATE
#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_SET_SESSIONID 0x0004
#define PROCESS_VM_OPERATION 0x0008
#define PROCESS_VM_READ 0x0010
#define PROCESS_VM_WRITE 0x0020
#define PROCESS_CREATE_PROCESS 0x0080
#define PROCESS_SET_QUOTA 0x0100
#define PROCESS_SET_INFORMATION 0x0200
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_SUSPEND_RESUME 0x0800
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define PROCESS_SET_LIMITED_INFORMATION 0x2000
#endif
#ifndef PROCESS_DUP_HANDLE
#define PROCESS_DUP_HANDLE 0x0040
#endif

// FileDispositionInformationEx (Windows 10 version 1709 and later): the
// structure and its flags.
#ifndef FILE_DISPOSITION_DELETE
#define FILE_DISPOSITION_DO_NOT_DELETE 0x00000000
#define FILE_DISPOSITION_DELETE 0x00000001
#define FILE_DISPOSITION_POSIX_SEMANTICS 0x00000002
#define FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK 0x00000004
#define FILE_DISPOSITION_ON_CLOSE 0x00000008
#define FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE 0x00000010
typedef struct _FILE_DISPOSITION_INFORMATION_EX {
  ULONG Flags;
} FILE_DISPOSITION_INFORMATION_EX, *PFILE_DISPOSITION_INFORMATION_EX;
#endif

// Flags of FileRenameInformationEx. (mingw-w64's FILE_RENAME_INFORMATION has
// only ReplaceIfExists, not the Flags member that shares its place.)
#ifndef FILE_RENAME_REPLACE_IF_EXISTS
#define FILE_RENAME_REPLACE_IF_EXISTS 0x00000001
#define FILE_RENAME_POSIX_SEMANTICS 0x00000002
#define FILE_RENAME_SUPPRESS_PIN_STATE_INHERITANCE 0x00000004
#define FILE_RENAME_SUPPRESS_STORAGE_RESERVE_INHERITANCE 0x00000008
#define FILE_RENAME_NO_INCREASE_AVAILABLE_SPACE 0x00000010
#define FILE_RENAME_NO_DECREASE_AVAILABLE_SPACE 0x00000020
#define FILE_RENAME_PRESERVE_AVAILABLE_SPACE 0x00000030
#define FILE_RENAME_IGNORE_READONLY_ATTRIBUTE 0x00000040
#define FILE_RENAME_FORCE_RESIZE_TARGET_SR 0x00000080
#define FILE_RENAME_FORCE_RESIZE_SOURCE_SR 0x00000100
#endif

// RtlQueryRegistryValues' type check of a direct query (wdm.h of current
// WDKs): the expected type sits in the top byte of DefaultType.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xffu << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
#endif
