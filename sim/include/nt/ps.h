// System threads (wdm.h / ntddk.h).
#pragma once
#include "ntdef.h"
#include "ob.h"

typedef void NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_ALERT 0x0004
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_QUERY_LIMITED_INFORMATION 0x0800
#define THREAD_ALL_ACCESS ((ACCESS_MASK)0x001FFFFF)

EXTERN_C_START
NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                          PVOID StartContext);
NTKERNELAPI NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI HANDLE PsGetCurrentThreadId(void);
NTKERNELAPI PETHREAD PsGetCurrentThread(void);
// The object type of threads, for ObReferenceObjectByHandle.
extern POBJECT_TYPE* PsThreadType;
NTKERNELAPI HANDLE PsGetThreadId(PETHREAD Thread);
NTKERNELAPI BOOLEAN PsIsSystemThread(PETHREAD Thread);
NTKERNELAPI BOOLEAN PsIsThreadTerminating(PETHREAD Thread);
EXTERN_C_END
