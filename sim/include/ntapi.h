// The user-mode NT API of programs in the simulation (ntdll's native file
// routines), with ntdll's signatures. Each call runs as the simulated
// process of the calling thread; handles live in that process's table.
// I/O is synchronous: Event and ApcRoutine are accepted and ignored, and the
// status is final when the call returns, except for change notification on
// an asynchronous handle (see NtNotifyChangeDirectoryFile).
#pragma once
#include "ntifs.h"

EXTERN_C_START
NTSYSCALLAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes,
                                         PIO_STATUS_BLOCK IoStatusBlock,
                                         PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                         ULONG ShareAccess, ULONG CreateDisposition,
                                         ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSCALLAPI NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                                       ULONG OpenOptions);
NTSYSCALLAPI NTSTATUS NTAPI NtClose(HANDLE Handle);
// A data section backed by an open file (SEC_COMMIT or SEC_IMAGE): the
// section holds the file object until its own last handle closes.
NTSYSCALLAPI NTSTATUS NTAPI NtCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                            POBJECT_ATTRIBUTES ObjectAttributes,
                                            PLARGE_INTEGER MaximumSize, ULONG SectionPageProtection,
                                            ULONG AllocationAttributes, HANDLE FileHandle);
NTSYSCALLAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                       PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                       PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                       PULONG Key);
NTSYSCALLAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                        PULONG Key);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle,
                                                   PIO_STATUS_BLOCK IoStatusBlock,
                                                   PVOID FileInformation, ULONG Length,
                                                   FILE_INFORMATION_CLASS FileInformationClass);
NTSYSCALLAPI NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event,
                                                 PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                                 PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass,
                                                 BOOLEAN ReturnSingleEntry,
                                                 PUNICODE_STRING FileName, BOOLEAN RestartScan);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle,
                                                         PIO_STATUS_BLOCK IoStatusBlock,
                                                         PVOID FsInformation, ULONG Length,
                                                         FS_INFORMATION_CLASS FsInformationClass);
NTSYSCALLAPI NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle,
                                                  SECURITY_INFORMATION SecurityInformation,
                                                  PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                  ULONG Length, PULONG LengthNeeded);
NTSYSCALLAPI NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event,
                                            PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                            PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                            PVOID InputBuffer, ULONG InputBufferLength,
                                            PVOID OutputBuffer, ULONG OutputBufferLength);
NTSYSCALLAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event,
                                                  PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                                  PIO_STATUS_BLOCK IoStatusBlock,
                                                  ULONG IoControlCode, PVOID InputBuffer,
                                                  ULONG InputBufferLength, PVOID OutputBuffer,
                                                  ULONG OutputBufferLength);
// Change notification on a directory handle. On a synchronous handle the
// call waits for a change (or the handle's cleanup); on an asynchronous one
// it returns STATUS_PENDING and writes IoStatusBlock when the request
// completes, which NtWaitForSingleObject on the handle waits for.
NTSYSCALLAPI NTSTATUS NTAPI NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event,
                                                        PIO_APC_ROUTINE ApcRoutine,
                                                        PVOID ApcContext,
                                                        PIO_STATUS_BLOCK IoStatusBlock,
                                                        PVOID Buffer, ULONG Length,
                                                        ULONG CompletionFilter, BOOLEAN WatchTree);
// Waits on a file handle (the only waitable object programs have in the
// sim) for its asynchronous requests; Timeout null or zero.
NTSYSCALLAPI NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Timeout);
NTSYSCALLAPI NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                          PVOID Buffer, ULONG Length, BOOLEAN ReturnSingleEntry,
                                          PVOID EaList, ULONG EaListLength, PULONG EaIndex,
                                          BOOLEAN RestartScan);
NTSYSCALLAPI NTSTATUS NTAPI NtSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                        PVOID Buffer, ULONG Length);
NTSYSCALLAPI NTSTATUS NTAPI NtLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                       PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key,
                                       BOOLEAN FailImmediately, BOOLEAN ExclusiveLock);
NTSYSCALLAPI NTSTATUS NTAPI NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                         PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length,
                                         ULONG Key);
// Attributes of a file by name, without a handle: first offered to the
// filters as a fast query-open (IRP_MJ_NETWORK_QUERY_OPEN); when a filter
// refuses it, done as an open, a query and a close.
NTSYSCALLAPI NTSTATUS NTAPI NtQueryFullAttributesFile(
    POBJECT_ATTRIBUTES ObjectAttributes, PFILE_NETWORK_OPEN_INFORMATION FileInformation);
EXTERN_C_END
