// Run-time library: memory helpers, counted strings, Unicode case mapping,
// Unicode prefix tables, 8.3 short names and file-name matching (the Rtl*
// and FsRtl* name routines of ntifs.h), with their documented signatures.
#pragma once
#include "ntdef.h"

typedef short CSHORT;

// ---------------------------------------------------------------------------
// Memory.

#define RtlCopyMemory(Destination, Source, Length) \
  __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) \
  __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) \
  (!__builtin_memcmp((Destination), (Source), (Length)))

EXTERN_C_START

// Number of leading bytes that are equal.
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------
// Counted strings.

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);

NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source);

// Frees a buffer allocated by an Rtl routine.
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

EXTERN_C_END

FORCEINLINE VOID RtlInitEmptyUnicodeString(PUNICODE_STRING UnicodeString, PWCHAR Buffer,
                                           USHORT BufferSize) {
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = BufferSize;
  UnicodeString->Buffer = Buffer;
}

// ---------------------------------------------------------------------------
// Unicode prefix tables. The table links the caller's entries (it copies
// neither the entry nor its prefix string, which must stay valid while the
// entry is in the table).

typedef struct _RTL_SPLAY_LINKS {
  struct _RTL_SPLAY_LINKS* Parent;
  struct _RTL_SPLAY_LINKS* LeftChild;
  struct _RTL_SPLAY_LINKS* RightChild;
} RTL_SPLAY_LINKS, *PRTL_SPLAY_LINKS;

typedef struct _UNICODE_PREFIX_TABLE_ENTRY {
  CSHORT NodeTypeCode;
  CSHORT NameLength;
  struct _UNICODE_PREFIX_TABLE_ENTRY* NextPrefixTree;
  struct _UNICODE_PREFIX_TABLE_ENTRY* CaseMatch;
  RTL_SPLAY_LINKS Links;
  PUNICODE_STRING Prefix;
} UNICODE_PREFIX_TABLE_ENTRY, *PUNICODE_PREFIX_TABLE_ENTRY;

typedef struct _UNICODE_PREFIX_TABLE {
  CSHORT NodeTypeCode;
  CSHORT NameLength;
  PUNICODE_PREFIX_TABLE_ENTRY NextPrefixTree;
  PUNICODE_PREFIX_TABLE_ENTRY LastNextEntry;
} UNICODE_PREFIX_TABLE, *PUNICODE_PREFIX_TABLE;

EXTERN_C_START

NTSYSAPI VOID NTAPI RtlInitializeUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable);
NTSYSAPI BOOLEAN NTAPI RtlInsertUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                              PUNICODE_STRING Prefix,
                                              PUNICODE_PREFIX_TABLE_ENTRY PrefixTableEntry);
NTSYSAPI VOID NTAPI RtlRemoveUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                           PUNICODE_PREFIX_TABLE_ENTRY PrefixTableEntry);
NTSYSAPI PUNICODE_PREFIX_TABLE_ENTRY NTAPI RtlFindUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                                                PCUNICODE_STRING FullName,
                                                                ULONG CaseInsensitiveIndex);
NTSYSAPI PUNICODE_PREFIX_TABLE_ENTRY NTAPI RtlNextUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                                                BOOLEAN Restart);

EXTERN_C_END

// ---------------------------------------------------------------------------
// Short (8.3) names.

// Zeroed by the caller before the first RtlGenerate8dot3Name call for a long
// name; carries the collision state between calls for that name.
typedef struct _GENERATE_NAME_CONTEXT {
  USHORT Checksum;
  BOOLEAN CheckSumInserted;
  UCHAR NameLength;  // characters in NameBuffer
  WCHAR NameBuffer[8];
  ULONG ExtensionLength;  // characters in ExtensionBuffer, the dot included
  WCHAR ExtensionBuffer[4];
  ULONG LastIndexValue;
} GENERATE_NAME_CONTEXT, *PGENERATE_NAME_CONTEXT;

EXTERN_C_START

NTSYSAPI NTSTATUS NTAPI RtlGenerate8dot3Name(PCUNICODE_STRING Name, BOOLEAN AllowExtendedCharacters,
                                             PGENERATE_NAME_CONTEXT Context,
                                             PUNICODE_STRING Name8dot3);
NTSYSAPI BOOLEAN NTAPI RtlIsNameLegalDOS8Dot3(PCUNICODE_STRING Name, POEM_STRING OemName,
                                              PBOOLEAN NameContainsSpaces);

EXTERN_C_END

// ---------------------------------------------------------------------------
// File-name parsing and matching.

// The DOS wildcards, as the Win32 layer translates '*', '?' and '.' of a
// DOS-style search pattern.
#define ANSI_DOS_STAR ('<')
#define ANSI_DOS_QM ('>')
#define ANSI_DOS_DOT ('"')
#define DOS_STAR (L'<')
#define DOS_QM (L'>')
#define DOS_DOT (L'"')

EXTERN_C_START

NTKERNELAPI VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                                        PUNICODE_STRING RemainingName);
NTKERNELAPI BOOLEAN NTAPI FsRtlDoesNameContainWildCards(PUNICODE_STRING Name);
NTKERNELAPI BOOLEAN NTAPI FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                                  BOOLEAN IgnoreCase, PWCH UpcaseTable);

EXTERN_C_END
