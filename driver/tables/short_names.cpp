// Expansion of 8.3 short names: the walk through ShortNameTable and the
// long-name query to the client.
//
// Shortage of pool: a routine that cannot get a buffer fails with
// STATUS_INSUFFICIENT_RESOURCES, frees what it took and changes no entry of
// ShortNameTable for the step that failed; the caller keeps its path.
#include "short_names.h"

#include "../channel/request_exchange.h"
#include "../core/globals.h"
#include "../create/path_classification.h"
#include "../support/locks.h"
#include "../support/pool.h"
#include "request_payloads.h"
#include "../create/requestor.h"
#include "short_name_cache.h"

namespace tavo {
namespace {

constexpr UNICODE_STRING kBackslash = LiteralString(L"\\");

bool ContainsTilde(const UNICODE_STRING& path) {
  for (USHORT i = 0; i < path.Length / sizeof(WCHAR); ++i) {
    if (path.Buffer[i] == L'~') return true;
  }
  return false;
}

bool IsShortNameComponent(const UNICODE_STRING& component) {
  return RtlIsNameLegalDOS8Dot3(&component, nullptr, nullptr) != FALSE;
}

// Appends '\' and the component to the path being rebuilt. A path that
// would outgrow its buffer ends the walk with STATUS_NAME_TOO_LONG (an
// error, not the STATUS_BUFFER_OVERFLOW warning: no partial path may be
// taken for the expansion); nothing is written past the buffer.
NTSTATUS AppendComponent(PUNICODE_STRING result, const UNICODE_STRING& component) {
  UNICODE_STRING separator = kBackslash;
  UNICODE_STRING name = component;
  if (!NT_SUCCESS(RtlAppendUnicodeStringToString(result, &separator)) ||
      !NT_SUCCESS(RtlAppendUnicodeStringToString(result, &name))) {
    return STATUS_NAME_TOO_LONG;
  }
  return STATUS_SUCCESS;
}

// The fresh entry for the path so far, or null; an expired entry met here is
// removed (the caller holds ShortNameTableLock exclusive).
ShortNameEntry* FindFreshEntry(PUNICODE_STRING pathSoFar, LONGLONG now) {
  PUNICODE_PREFIX_TABLE_ENTRY link = FindExact(&Globals.ShortNameTable, pathSoFar);
  if (link == nullptr) return nullptr;
  auto* entry = CONTAINING_RECORD(link, ShortNameEntry, PrefixEntry);
  if (entry->ShortPath.Length == pathSoFar->Length && entry->Expiry > now) return entry;
  RemoveShortNameEntry(entry);
  return nullptr;
}

// Replaces the path so far (in `result`) by its long form from the client
// and caches the answer until now + 20 seconds.
NTSTATUS ResolveThroughClient(PFLT_CALLBACK_DATA data, PUNICODE_STRING result, LONGLONG now) {
  PoolPtr<ShortNameEntry> entry = PoolPtr<ShortNameEntry>::Make(kNonPaged);
  OwnedString shortPath = OwnedString::CopyOf(NonPagedPool, *result, result->Length);
  if (!entry || !shortPath.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = QueryLongName(data, result, result);
  if (!NT_SUCCESS(status)) return status;
  OwnedString longPath = OwnedString::CopyOf(NonPagedPool, *result, result->Length);
  if (!longPath.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;

  entry->ShortPath = shortPath.Release();
  entry->LongPath = longPath.Release();
  entry->Expiry = now + kShortNameLifetime;
  if (!RtlInsertUnicodePrefix(&Globals.ShortNameTable, &entry->ShortPath, &entry->PrefixEntry)) {
    // The table already holds the key (in another case): keep that entry;
    // the expansion itself stands.
    FreeStringBuffer(entry->LongPath);
    FreeStringBuffer(entry->ShortPath);
    return STATUS_SUCCESS;
  }
  (void)entry.Release();  // the table owns it now
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ExpandShortNames(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path, OwnedString* expanded) {
  *expanded = OwnedString();
  if (path->Length < sizeof(WCHAR) || !ContainsTilde(*path)) return STATUS_UNSUCCESSFUL;
  OwnedString result = OwnedString::WithCapacity(NonPagedPool, kExpandedPathBytes);
  if (!result.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = WalkShortNameCache(data, path, &result.Get());
  if (!NT_SUCCESS(status)) {
    // The client is asked for the whole path at once.
    result->Length = 0;
    status = QueryLongName(data, path, &result.Get());
  }
  // On failure the caller gets no buffer at all.
  if (NT_SUCCESS(status)) *expanded = static_cast<OwnedString&&>(result);
  return status;
}

NTSTATUS WalkShortNameCache(PFLT_CALLBACK_DATA data, PCUNICODE_STRING path,
                            PUNICODE_STRING result) {
  ExclusiveLock lock(Globals.ShortNameTableLock);
  // The root is copied under ShortNameTableLock (the driver's lock order).
  // Without a copy the walk could not tell the root's own components, which
  // are never expanded, from the view's: it fails instead.
  OwnedString root;
  CopyMergedViewRoot(&root);
  if (!root.HasBuffer()) return STATUS_INSUFFICIENT_RESOURCES;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);

  // The caller's path is only read: the walk moves a view over it.
  UNICODE_STRING remaining = *path;
  while (remaining.Length != 0) {
    UNICODE_STRING component, rest;
    FsRtlDissectName(remaining, &component, &rest);
    remaining = rest;
    NTSTATUS status = AppendComponent(result, component);
    if (!NT_SUCCESS(status)) return status;
    if (result->Length <= root->Length || !IsShortNameComponent(component)) continue;

    if (ShortNameEntry* entry = FindFreshEntry(result, now.QuadPart)) {
      if (entry->LongPath.Length > result->MaximumLength) return STATUS_NAME_TOO_LONG;
      result->Length = 0;
      RtlCopyUnicodeString(result, &entry->LongPath);
      continue;
    }
    status = ResolveThroughClient(data, result, now.QuadPart);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QueryLongName(PFLT_CALLBACK_DATA data, PCUNICODE_STRING name,
                       PUNICODE_STRING destination) {
  // Header, name, NUL, then 4 bytes that are counted but not written.
  const ULONG nameLength = name->Length + sizeof(WCHAR);
  const ULONG payloadLength = nameLength + protocol::kLongNameRequestOverhead;
  PoolBuffer payload = PoolBuffer::Allocate(NonPagedPool, payloadLength);
  PoolBuffer answer = PoolBuffer::Allocate(NonPagedPool, protocol::kLongNameAnswerBytes);
  if (!payload || !answer) return STATUS_INSUFFICIENT_RESOURCES;
  protocol::LongNameRequest header{};
  header.SessionId = RequestorSessionId(data);
  header.QueryKind = protocol::kQueryLongName;
  header.NameLength = nameLength;
  RtlCopyMemory(payload.Data(), &header, sizeof(header));
  if (name->Length != 0) {
    RtlCopyMemory(payload.Data() + protocol::kLongNameNameOffset, name->Buffer, name->Length);
  }

  ULONG answerLength = 0;
  const NTSTATUS status =
      SendRequestAndWait(payload.Data(), payloadLength, protocol::kRequestItemQuery, answer.Data(),
                         protocol::kLongNameAnswerBytes, &answerLength);
  if (!NT_SUCCESS(status)) return status;
  // The long name ends at its NUL. An answer that fills the whole buffer
  // without one is malformed and refused: a name cut short at the buffer's
  // end would make the driver open the wrong item. A shorter answer without
  // a NUL ends where its data does (the buffer is zeroed).
  constexpr ULONG kAnswerChars = protocol::kLongNameAnswerBytes / sizeof(WCHAR);
  const WCHAR* text = answer.As<WCHAR>();
  const ULONG chars = BoundedLength(text, kAnswerChars);
  if (chars == kAnswerChars) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING longName = BorrowString(text, static_cast<USHORT>(chars * sizeof(WCHAR)));
  RtlCopyUnicodeString(destination, &longName);
  return status;
}

}  // namespace tavo
