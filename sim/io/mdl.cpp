// Memory descriptor lists and file-object name replacement. The simulation
// has a single address space: an MDL's pages are always resident and its
// system address is the buffer's own address (but for the MDL-only user
// buffers of io/user_buffers.h).
#include <new>

#include "io/io_manager.h"
#include "io/user_buffers.h"
#include "verifier/faults.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
  (void)SecondaryBuffer;
  (void)ChargeQuota;
  (void)Irp;
  auto* mdl = new (std::nothrow) MDL{};
  if (!mdl) return nullptr;
  mdl->Size = sizeof(MDL);
  mdl->StartVa =
      reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(VirtualAddress) & ~ULONG_PTR(0xFFF));
  mdl->ByteOffset = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(VirtualAddress) & 0xFFF);
  mdl->ByteCount = Length;
  return mdl;
}

void IoFreeMdl(PMDL Mdl) {
  if (Mdl && (Mdl->MdlFlags & MDL_PAGES_LOCKED) && !(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) {
    // Freeing a locked MDL is tolerated here: the Filter Manager unlocks the
    // MDLs it locked itself as it frees them.
  }
  delete Mdl;
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                         LOCK_OPERATION Operation) {
  (void)AccessMode;
  if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    sim::verifier::Report(sim::verifier::Check::Io,
                          "MmUnlockPages of an MDL whose pages are not locked");
  }
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
  (void)AccessMode;
  (void)CacheType;
  (void)RequestedAddress;
  (void)BugCheckOnFailure;
  (void)Priority;
  if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    sim::verifier::Report(sim::verifier::Check::Io, "mapping an MDL whose pages are not locked");
  }
  // The system address of the pages: the buffer's own address, except for a
  // user buffer valid only through its MDL (io/user_buffers.h).
  MemoryDescriptorList->MappedSystemVa =
      sim::io::SystemAddressOf(MmGetMdlVirtualAddress(MemoryDescriptorList));
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return MemoryDescriptorList->MappedSystemVa;
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  (void)BaseAddress;
  MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

NTSTATUS IoReplaceFileObjectName(PFILE_OBJECT FileObject, PWSTR NewFileName,
                                 USHORT FileNameLength) {
  sim::io::FileObject* file = sim::io::FileObjectFromBody(FileObject);
  if (!file || !NewFileName) return STATUS_INVALID_PARAMETER;
  if (sim::kernel::CurrentThread().irql > PASSIVE_LEVEL) {
    sim::verifier::Report(sim::verifier::Check::Irql,
                          "IoReplaceFileObjectName above PASSIVE_LEVEL");
  }
  // A name that fits the current buffer is copied into it; a longer one
  // needs a new buffer from pool, which can fail (the one documented
  // failure). The I/O manager's tag for it is not documented: the sim uses
  // 'IoNm' (kFileNameBufferTag), so a sweep can single these out.
  const USHORT capacity = FileObject->FileName.MaximumLength;
  if (FileNameLength > capacity &&
      sim::faults::ShouldFail(sim::faults::Site::PoolAllocation, sim::io::kFileNameBufferTag)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  file->SetName(std::u16string(reinterpret_cast<const char16_t*>(NewFileName),
                               FileNameLength / sizeof(WCHAR)));
  if (FileNameLength <= capacity) FileObject->FileName.MaximumLength = capacity;
  return STATUS_SUCCESS;
}

// The simulation has no transactions: no file object is part of one.
PTXN_PARAMETER_BLOCK IoGetTransactionParameterBlock(PFILE_OBJECT FileObject) {
  (void)FileObject;
  return nullptr;
}
