// The simulated pool: ExAllocatePoolWithTag, ExAllocatePool2 and the frees.
// Blocks come from the host heap (so AddressSanitizer sees overruns and uses
// after free) and every live block is logged with its tag, size, pool type
// and call site. Uninitialised allocations are filled with 0xAB so code that
// wrongly relies on zeroed memory fails the same way every time.
#define SIM_POOL_NO_CALL_SITES
#include "kernel/pool.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "kernel/lifecycle.h"
#include "kernel/resource.h"
#include "kernel/thread_state.h"
#include "nt/ex.h"
#include "nt/ntstatus.h"
#include "verifier/bookkeeping.h"
#include "verifier/faults.h"
#include "verifier/verifier.h"

namespace sim::kernel::pool {
namespace {

using verifier::Check;

constexpr unsigned char kUninitialisedFill = 0xAB;
constexpr std::size_t kCacheLine = 64;

struct Block {
  std::size_t size;
  std::uint32_t tag;
  bool paged;
  const char* poolType;
  const char* file;  // null: use returnAddress
  int line;
  const void* returnAddress;
  std::uint64_t serial;
};

struct State {
  std::mutex lock;
  std::map<const void*, Block> live;
  std::uint64_t serial = 0;
  std::vector<std::function<void(const void*, std::size_t)>> freeHooks;
};

State& Get() {
  static State* state = new State;
  return *state;
}

std::string Symbolise(const void* address) {
  Dl_info info{};
  char text[512];
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    std::snprintf(text, sizeof text, "%p", address);
    return text;
  }
  const char* module = std::strrchr(info.dli_fname, '/');
  module = module ? module + 1 : info.dli_fname;
  const auto offset =
      reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  if (info.dli_sname != nullptr) {
    const auto symbolOffset = reinterpret_cast<std::uintptr_t>(address) -
                              reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    std::snprintf(text, sizeof text, "%s+0x%zx (%s+0x%zx)", module,
                  static_cast<std::size_t>(offset), info.dli_sname,
                  static_cast<std::size_t>(symbolOffset));
  } else {
    std::snprintf(text, sizeof text, "%s+0x%zx", module, static_cast<std::size_t>(offset));
  }
  return text;
}

}  // namespace

std::string DescribeCodeAddress(const void* address) {
  return Symbolise(address);
}

namespace {

std::string SiteOf(const Block& block) {
  if (block.file == nullptr) return Symbolise(block.returnAddress);
  const char* base = std::strrchr(block.file, '/');
  return std::string(base ? base + 1 : block.file) + ":" + std::to_string(block.line);
}

Allocation Describe(const void* address, const Block& block) {
  return Allocation{address, block.size, block.tag, block.poolType, SiteOf(block), block.serial};
}

struct Request {
  std::size_t size;
  std::uint32_t tag;
  bool paged;
  bool cacheAligned;
  bool zero;
  const char* poolType;
  const char* file;
  int line;
  const void* returnAddress;
};

void* Allocate(const Request& r) {
  const KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL || (r.paged && irql > APC_LEVEL)) {
    verifier::Report(Check::Irql,
                     std::string(r.poolType) + " allocation at IRQL " + std::to_string(irql));
  }
  if (r.tag == 0) verifier::Report(Check::PoolBadType, "pool allocation with a zero tag");
  if (faults::ShouldFail(faults::Site::PoolAllocation, r.tag)) return nullptr;

  void* p = nullptr;
  const std::size_t bytes = r.size == 0 ? 1 : r.size;
  if (r.cacheAligned) {
    if (posix_memalign(&p, kCacheLine, bytes) != 0) p = nullptr;
  } else {
    p = std::malloc(bytes);
  }
  if (p == nullptr) return nullptr;
  std::memset(p, r.zero ? 0 : kUninitialisedFill, bytes);
  if (!verifier::KeepsBookkeeping()) return p;

  State& s = Get();
  std::lock_guard guard(s.lock);
  s.live[p] =
      Block{r.size, r.tag, r.paged, r.poolType, r.file, r.line, r.returnAddress, ++s.serial};
  return p;
}

const char* PoolTypeName(POOL_TYPE type) {
  switch (static_cast<int>(type)) {
    case NonPagedPool:
      return "NonPagedPool";
    case PagedPool:
      return "PagedPool";
    case NonPagedPoolCacheAligned:
      return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
      return "PagedPoolCacheAligned";
    case NonPagedPoolSession:
      return "NonPagedPoolSession";
    case PagedPoolSession:
      return "PagedPoolSession";
    case NonPagedPoolCacheAlignedSession:
      return "NonPagedPoolCacheAlignedSession";
    case PagedPoolCacheAlignedSession:
      return "PagedPoolCacheAlignedSession";
    case NonPagedPoolNx:
      return "NonPagedPoolNx";
    case NonPagedPoolNxCacheAligned:
      return "NonPagedPoolNxCacheAligned";
    case NonPagedPoolSessionNx:
      return "NonPagedPoolSessionNx";
    default:
      return nullptr;  // must-succeed types, DontUseThisType and unknown values
  }
}

void* AllocateWithTag(POOL_TYPE type, SIZE_T size, ULONG tag, const char* file, int line,
                      const void* ret) {
  const char* name = PoolTypeName(type);
  if (name == nullptr) {
    verifier::Report(Check::PoolBadType, "ExAllocatePoolWithTag with pool type " +
                                             std::to_string(static_cast<int>(type)));
    return nullptr;
  }
  const int base = static_cast<int>(type) & 0x1F;  // strip the session and Nx bits
  const bool paged = base == PagedPool || base == PagedPoolCacheAligned;
  const bool aligned = base == NonPagedPoolCacheAligned || base == PagedPoolCacheAligned;
  return Allocate(Request{size, tag, paged, aligned, false, name, file, line, ret});
}

constexpr POOL_FLAGS kKnownRequiredFlags = POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED |
                                           POOL_FLAG_SESSION | POOL_FLAG_CACHE_ALIGNED |
                                           POOL_FLAG_RAISE_ON_FAILURE | POOL_FLAG_NON_PAGED |
                                           POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;

// ExAllocatePool2: exactly one of the three pool kinds; unknown required
// flags (the low 32 bits) make the call fail, unknown optional ones are
// ignored. With POOL_FLAG_RAISE_ON_FAILURE a failure raises
// STATUS_INSUFFICIENT_RESOURCES on Windows; no driver frame here can catch
// it, so it ends as the bug check an unhandled kernel exception gives.
void* Allocate2(POOL_FLAGS flags, SIZE_T size, ULONG tag, const char* file, int line,
                const void* ret) {
  const POOL_FLAGS kinds =
      flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
  const POOL_FLAGS unknown = flags & 0xFFFFFFFFull & ~kKnownRequiredFlags;
  if (unknown != 0 || (kinds != POOL_FLAG_NON_PAGED && kinds != POOL_FLAG_NON_PAGED_EXECUTE &&
                       kinds != POOL_FLAG_PAGED)) {
    char text[96];
    std::snprintf(text, sizeof text, "ExAllocatePool2 with invalid flags 0x%llx",
                  static_cast<unsigned long long>(flags));
    verifier::Report(Check::PoolBadType, text);
    return nullptr;
  }
  const char* name = kinds == POOL_FLAG_PAGED       ? "POOL_FLAG_PAGED"
                     : kinds == POOL_FLAG_NON_PAGED ? "POOL_FLAG_NON_PAGED"
                                                    : "POOL_FLAG_NON_PAGED_EXECUTE";
  void* p =
      Allocate(Request{size, tag, kinds == POOL_FLAG_PAGED, (flags & POOL_FLAG_CACHE_ALIGNED) != 0,
                       (flags & POOL_FLAG_UNINITIALIZED) == 0, name, file, line, ret});
  if (p == nullptr && (flags & POOL_FLAG_RAISE_ON_FAILURE)) {
    KeBugCheckEx(0x1E /* KMODE_EXCEPTION_NOT_HANDLED */,
                 static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES), 0, 0, 0);
  }
  return p;
}

// Tag 0 means "no tag check", as ExFreePool is ExFreePoolWithTag(P, 0).
void Free(void* p, ULONG tag) {
  if (p == nullptr) {
    verifier::Report(Check::PoolDoubleFree, "pool free of a NULL pointer");
    return;
  }
  // Without the record of live blocks there is nothing to check against.
  if (!verifier::KeepsBookkeeping()) {
    std::free(p);
    return;
  }
  State& s = Get();
  Block block;
  std::vector<std::function<void(const void*, std::size_t)>> hooks;
  {
    std::lock_guard guard(s.lock);
    auto it = s.live.find(p);
    if (it == s.live.end()) {
      char text[128];
      std::snprintf(
          text, sizeof text,
          "pool free of %p, which is not a live allocation (double free or never allocated)", p);
      verifier::Report(Check::PoolDoubleFree, text);
      return;
    }
    block = it->second;
    s.live.erase(it);
    hooks = s.freeHooks;
  }
  if (tag != 0 && tag != block.tag) {
    verifier::Report(Check::PoolWrongTag, "pool block with tag '" + TagText(block.tag) +
                                              "' freed with tag '" + TagText(tag) +
                                              "' (allocated at " + SiteOf(block) + ")");
  }
  const KIRQL irql = CurrentThread().irql;
  if (irql > DISPATCH_LEVEL || (block.paged && irql > APC_LEVEL)) {
    verifier::Report(Check::Irql,
                     std::string(block.poolType) + " block freed at IRQL " + std::to_string(irql));
  }
  ForgetResourcesIn(p, block.size);
  for (auto& hook : hooks) hook(p, block.size);
  std::free(p);
}

}  // namespace

std::vector<Allocation> Live(std::optional<std::uint32_t> tag) {
  State& s = Get();
  std::vector<std::pair<const void*, Block>> blocks;
  {
    std::lock_guard guard(s.lock);
    for (const auto& [address, block] : s.live) {
      if (!tag || block.tag == *tag) blocks.emplace_back(address, block);
    }
  }
  std::vector<Allocation> out;
  for (const auto& [address, block] : blocks) out.push_back(Describe(address, block));
  std::sort(out.begin(), out.end(),
            [](const Allocation& a, const Allocation& b) { return a.serial < b.serial; });
  return out;
}

std::size_t ReportLeaks(std::optional<std::uint32_t> tag, const std::string& context) {
  const auto leaks = Live(tag);
  for (const Allocation& a : leaks) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", a.address);
    verifier::Report(Check::PoolLeak, context + ": " + std::to_string(a.size) +
                                          " bytes with tag '" + TagText(a.tag) + "' (" +
                                          a.poolType + ") at " + address + " allocated at " +
                                          a.site);
  }
  return leaks.size();
}

void FreeAll() {
  State& s = Get();
  std::lock_guard guard(s.lock);
  for (auto& [address, block] : s.live) std::free(const_cast<void*>(address));
  s.live.clear();
  s.serial = 0;
}

std::string TagText(std::uint32_t tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

void AddFreeHook(std::function<void(const void*, std::size_t)> hook) {
  State& s = Get();
  std::lock_guard guard(s.lock);
  s.freeHooks.push_back(std::move(hook));
}

namespace {
ResetHookRegistration resetPool(ResetOrder::Kernel, [] { FreeAll(); });
}  // namespace

}  // namespace sim::kernel::pool

using namespace sim::kernel::pool;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return AllocateWithTag(PoolType, NumberOfBytes, Tag, nullptr, 0, __builtin_return_address(0));
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate2(Flags, NumberOfBytes, Tag, nullptr, 0, __builtin_return_address(0));
}

PVOID SimExAllocatePoolWithTagAt(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                 const char* File, int Line) {
  return AllocateWithTag(PoolType, NumberOfBytes, Tag, File, Line, __builtin_return_address(0));
}

PVOID SimExAllocatePool2At(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag, const char* File,
                           int Line) {
  return Allocate2(Flags, NumberOfBytes, Tag, File, Line, __builtin_return_address(0));
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  Free(P, Tag);
}

void ExFreePool(PVOID P) {
  Free(P, 0);
}
