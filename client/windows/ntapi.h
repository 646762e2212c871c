// The Windows build's ntapi.h: the native file API of ntdll.dll that the
// agent's local-file seam calls. winternl.h declares most of it; the
// routines it lacks are declared here with their documented signatures.
#pragma once

#include "windows_base.h"

#include <winternl.h>

extern "C" {

NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);

NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                           PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                           ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);

NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                    PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass,
                                    BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                    BOOLEAN RestartScan);

// Case mapping through the system's table (exported by ntdll as by the kernel).
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

}  // extern "C"
