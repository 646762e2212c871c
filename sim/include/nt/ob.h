// Object references and handle closing (wdm.h / ntifs.h).
#pragma once
#include "ntdef.h"

EXTERN_C_START
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
EXTERN_C_END

#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
