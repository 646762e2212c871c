// The simulation's fltUser.h: the user-mode side of the Filter Manager's
// communication ports (fltlib), with fltlib's signatures and the windows.h
// type names. Programs in the simulation (the client, tests, tools) call
// these as the simulated process their thread runs as.
//
// Results are HRESULTs as fltlib returns them: S_OK, or the Win32 error the
// failing NTSTATUS maps to, wrapped with HRESULT_FROM_WIN32.
#pragma once

#include "nt/ntdef.h"

// ---- windows.h types and macros this API uses ----
typedef int BOOL;
typedef BOOL* LPBOOL;
typedef LONG HRESULT;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef WINAPI
#define WINAPI
#endif
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#endif

#ifndef S_OK
#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define FACILITY_WIN32 7
#define FACILITY_NT_BIT 0x10000000
#define HRESULT_FROM_WIN32(x)         \
  ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) \
                     : ((HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000)))
#define HRESULT_FROM_NT(x) ((HRESULT)((x) | FACILITY_NT_BIT))
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#endif

// Win32 error codes the port API reports.
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_PENDING 997L
#define ERROR_CONNECTION_COUNT_LIMIT 1238L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#endif
// Filter Manager errors come as HRESULTs (FACILITY_USERMODE_FILTER_MANAGER).
#define ERROR_FLT_NO_WAITER_FOR_REPLY ((HRESULT)0x801F0020L)

// dwOptions of FilterConnectCommunicationPort: the handle is used for
// synchronous I/O only.
#define FLT_PORT_FLAG_SYNC_HANDLE 0x00000001

// What precedes every message FilterGetMessage returns.
typedef struct _FILTER_MESSAGE_HEADER {
  ULONG ReplyLength;    // reply bytes the sender expects (0: no reply)
  ULONGLONG MessageId;  // names the message in FilterReplyMessage
} FILTER_MESSAGE_HEADER, *PFILTER_MESSAGE_HEADER;

// What precedes every reply given to FilterReplyMessage.
typedef struct _FILTER_REPLY_HEADER {
  NTSTATUS Status;
  ULONGLONG MessageId;
} FILTER_REPLY_HEADER, *PFILTER_REPLY_HEADER;

static_assert(sizeof(FILTER_MESSAGE_HEADER) == 16, "FILTER_MESSAGE_HEADER layout");
static_assert(sizeof(FILTER_REPLY_HEADER) == 16, "FILTER_REPLY_HEADER layout");

EXTERN_C_START

// On failure *hPort is INVALID_HANDLE_VALUE. Too many connections:
// HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT); no such port:
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND).
HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions,
                                              LPCVOID lpContext, WORD wSizeOfContext,
                                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                              HANDLE* hPort);

// Blocks until a message arrives (lpOverlapped must be NULL here). A
// message longer than the buffer is cut to fit and still counts as
// received: the result is HRESULT_FROM_WIN32(ERROR_MORE_DATA). When the
// filter closes the connection the result is
// HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE); when this process closes the
// handle meanwhile, HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED).
HRESULT WINAPI FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer,
                                DWORD dwMessageBufferSize, LPOVERLAPPED lpOverlapped);

// A MessageId nobody waits for (unknown, answered, timed out) gives
// ERROR_FLT_NO_WAITER_FOR_REPLY.
HRESULT WINAPI FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer,
                                  DWORD dwReplyBufferSize);

// Runs the filter's message callback on the calling thread.
HRESULT WINAPI FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize,
                                 LPVOID lpOutBuffer, DWORD dwOutBufferSize,
                                 LPDWORD lpBytesReturned);

// Closes a handle of the calling process (kernel32's CloseHandle). Closing
// the last handle of a port connection disconnects it.
BOOL WINAPI CloseHandle(HANDLE hObject);

EXTERN_C_END
