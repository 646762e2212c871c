// Executive (wdm.h / ntifs.h): pool allocation, executive resources,
// fast mutexes and spin-lock-protected list operations.
#pragma once
#include "ntdef.h"
#include "ke.h"

// ---------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  MaxPoolType = 7,
  NonPagedPoolBase = 0,
  NonPagedPoolBaseMustSucceed = 2,
  NonPagedPoolBaseCacheAligned = 4,
  NonPagedPoolBaseCacheAlignedMustS = 6,
  NonPagedPoolSession = 32,
  PagedPoolSession = 33,
  NonPagedPoolMustSucceedSession = 34,
  DontUseThisTypeSession = 35,
  NonPagedPoolCacheAlignedSession = 36,
  PagedPoolCacheAlignedSession = 37,
  NonPagedPoolCacheAlignedMustSSession = 38,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
  NonPagedPoolSessionNx = 544
} POOL_TYPE,
    *PPOOL_TYPE;

typedef ULONG64 POOL_FLAGS;

#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RESERVED1 0x0000000000000010ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#define POOL_FLAG_RESERVED2 0x0000000000000200ULL
#define POOL_FLAG_RESERVED3 0x0000000000000400ULL
#define POOL_FLAG_REQUIRED_END 0x0000000080000000ULL
#define POOL_FLAG_OPTIONAL_START 0x0000000100000000ULL
#define POOL_FLAG_SPECIAL_POOL 0x0000000100000000ULL
#define POOL_FLAG_OPTIONAL_END 0x8000000000000000ULL

EXTERN_C_START
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI void ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI void ExFreePool(PVOID P);

// The simulation's allocation entry points that also record the caller's
// source position for leak reports; the macros below route driver calls
// through them. Not part of the WDK.
NTKERNELAPI PVOID SimExAllocatePoolWithTagAt(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                             const char* File, int Line);
NTKERNELAPI PVOID SimExAllocatePool2At(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag,
                                       const char* File, int Line);
EXTERN_C_END

#ifndef SIM_POOL_NO_CALL_SITES
#define ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag) \
  SimExAllocatePoolWithTagAt((PoolType), (NumberOfBytes), (Tag), __FILE__, __LINE__)
#define ExAllocatePool2(Flags, NumberOfBytes, Tag) \
  SimExAllocatePool2At((Flags), (NumberOfBytes), (Tag), __FILE__, __LINE__)
#endif

// ---------------------------------------------------------------------------
// Executive resources. The simulation keeps each resource's state in its own
// table keyed by the ERESOURCE's address; the structure is opaque to drivers
// and has the x64 size.

typedef ULONG_PTR ERESOURCE_THREAD;
typedef ERESOURCE_THREAD* PERESOURCE_THREAD;

typedef struct _ERESOURCE {
  LIST_ENTRY SystemResourcesList;
  PVOID OwnerTable;
  SHORT ActiveCount;
  USHORT Flag;
  ULONG Reserved0;
  PVOID SharedWaiters;
  PVOID ExclusiveWaiters;
  ULONG_PTR OwnerEntry[2];
  ULONG ActiveEntries;
  ULONG ContentionCount;
  ULONG NumberOfSharedWaiters;
  ULONG NumberOfExclusiveWaiters;
  PVOID Reserved2;
  PVOID Address;
  KSPIN_LOCK SpinLock;
} ERESOURCE, *PERESOURCE;

EXTERN_C_START
NTKERNELAPI NTSTATUS ExInitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS ExDeleteResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI void ExReleaseResourceLite(PERESOURCE Resource);
NTKERNELAPI void ExReleaseResourceForThreadLite(PERESOURCE Resource,
                                                ERESOURCE_THREAD ResourceThreadId);
NTKERNELAPI void ExSetResourceOwnerPointer(PERESOURCE Resource, PVOID OwnerPointer);
NTKERNELAPI BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
NTKERNELAPI ULONG ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
NTKERNELAPI ERESOURCE_THREAD ExGetCurrentResourceThread(void);
EXTERN_C_END

#define ExReleaseResource(R) ExReleaseResourceLite(R)
#define ExIsResourceAcquiredLite ExIsResourceAcquiredSharedLite

// ---------------------------------------------------------------------------
// Fast mutexes (the documented layout; drivers may initialise one by hand).

typedef struct _FAST_MUTEX {
  volatile LONG Count;  // 1 when free
  PVOID Owner;
  ULONG Contention;
  KEVENT Event;  // a synchronization event, not signalled
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

#define FM_LOCK_BIT 0x1

FORCEINLINE void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = NULL;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

EXTERN_C_START
NTKERNELAPI void ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI void ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
EXTERN_C_END

// ---------------------------------------------------------------------------
// Doubly linked lists guarded by a spin lock.

EXTERN_C_START
NTKERNELAPI PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                    PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                    PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
EXTERN_C_END
