// Filter Manager communication ports (part of fltKernel.h): a minifilter
// creates named server ports, user-mode clients connect to them, and
// messages flow both ways (FltSendMessage to the client; the message
// callback for the client's FilterSendMessage).
//
// Depends only on names ntifs.h defines, so it also builds against the
// native WDK-style headers.
#pragma once

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif

// Opaque Filter Manager objects. fltKernel.h may declare the same typedefs;
// an identical redeclaration is legal.
typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_PORT* PFLT_PORT;

// Access rights on a communication port.
#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

// A client connects (FilterConnectCommunicationPort). ConnectionContext and
// SizeOfContext describe the client's lpContext; *ConnectionPortCookie is
// handed back to the disconnect and message callbacks.
typedef NTSTATUS(FLTAPI* PFLT_CONNECT_NOTIFY)(PFLT_PORT ClientPort, PVOID ServerPortCookie,
                                              PVOID ConnectionContext, ULONG SizeOfContext,
                                              PVOID* ConnectionPortCookie);

// The client's handle count reached zero, or the filter is going away.
typedef VOID(FLTAPI* PFLT_DISCONNECT_NOTIFY)(PVOID ConnectionCookie);

// The client called FilterSendMessage. Both buffers are the client's user
// memory: not aligned, not captured.
typedef NTSTATUS(FLTAPI* PFLT_MESSAGE_NOTIFY)(PVOID PortCookie, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer,
                                              ULONG OutputBufferLength,
                                              PULONG ReturnOutputBufferLength);

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                  ACCESS_MASK DesiredAccess);
VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);

NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT* ServerPort,
                                           POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie,
                                           PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback,
                                           LONG MaxConnections);
VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort);
VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT* ClientPort);

NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer,
                               ULONG SenderBufferLength, PVOID ReplyBuffer, PULONG ReplyLength,
                               PLARGE_INTEGER Timeout);

#ifdef __cplusplus
}
#endif
