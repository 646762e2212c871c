// Layouts of the structures a driver image and the kernel hand each other
// that the shared constants check does not pin yet: compiled with the
// driver's flags against the simulation's headers and against mingw-w64's
// DDK headers, so the native image and the simulation that runs it agree on
// every size and offset. Values are those of the x64 Windows headers.
//
// Bitfields, where mingw-w64 (Microsoft rules) and Linux GCC may differ:
// the only one the two exchange is FSRTL_COMMON_FCB_HEADER's Reserved:4 and
// Version:4 in one UCHAR, which both rules place alike (its neighbours are
// pinned by the shared check).
#include <fltKernel.h>
#include <ntifs.h>

#define TAVO_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof(" #type ")")
#define TAVO_OFFSET(type, member, offset) \
  static_assert(__builtin_offsetof(type, member) == (offset), #type "." #member)

// Spin locks live in the driver's memory.
TAVO_SIZE(KSPIN_LOCK, 8);

// PsCreateSystemThread's client id.
TAVO_SIZE(CLIENT_ID, 16);
TAVO_OFFSET(CLIENT_ID, UniqueThread, 8);

// The driver initialises prefix tables and entries; the kernel links them.
TAVO_SIZE(RTL_SPLAY_LINKS, 24);
TAVO_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, NameLength, 2);
TAVO_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, NextPrefixTree, 8);
TAVO_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, CaseMatch, 16);
TAVO_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, Links, 24);
TAVO_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, Prefix, 48);
TAVO_OFFSET(UNICODE_PREFIX_TABLE, NextPrefixTree, 8);
TAVO_OFFSET(UNICODE_PREFIX_TABLE, LastNextEntry, 16);

// RtlGenerate8dot3Name keeps its state in the caller's context.
TAVO_OFFSET(GENERATE_NAME_CONTEXT, CheckSumInserted, 2);
TAVO_OFFSET(GENERATE_NAME_CONTEXT, NameLength, 3);
TAVO_OFFSET(GENERATE_NAME_CONTEXT, NameBuffer, 4);
TAVO_OFFSET(GENERATE_NAME_CONTEXT, ExtensionLength, 20);
TAVO_OFFSET(GENERATE_NAME_CONTEXT, ExtensionBuffer, 24);
TAVO_OFFSET(GENERATE_NAME_CONTEXT, LastIndexValue, 32);
TAVO_SIZE(GENERATE_NAME_CONTEXT, 36);

// FsRtlTeardownPerStreamContexts walks the per-stream contexts.
TAVO_SIZE(FSRTL_PER_STREAM_CONTEXT, 40);
TAVO_OFFSET(FSRTL_PER_STREAM_CONTEXT, OwnerId, 16);
TAVO_OFFSET(FSRTL_PER_STREAM_CONTEXT, InstanceId, 24);
TAVO_OFFSET(FSRTL_PER_STREAM_CONTEXT, FreeCallback, 32);

// The name provider's buffer.
TAVO_SIZE(FLT_NAME_CONTROL, 16);

// The loader fills the driver object DriverEntry receives.
TAVO_OFFSET(DRIVER_OBJECT, DeviceObject, 8);
TAVO_OFFSET(DRIVER_OBJECT, DriverName, 56);
TAVO_OFFSET(DRIVER_OBJECT, DriverUnload, 104);
TAVO_OFFSET(DRIVER_OBJECT, MajorFunction, 112);
TAVO_SIZE(DRIVER_OBJECT, 336);
