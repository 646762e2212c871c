// Reading the guarded scopes of an image's unwind data (see
// exception_scopes.h). Layouts are those of the x64 exception-handling
// documentation: RUNTIME_FUNCTION is three 32-bit RVAs (begin, end, unwind
// information); UNWIND_INFO starts with version and flags, prologue size,
// count of 16-bit unwind codes, frame register and offset, then the codes
// (padded to an even count), then the handler's RVA and its data.
#include "loader/exception_scopes.h"

#include <cstring>

namespace sim::loader {
namespace {

constexpr std::uint8_t kUnwindFlagExceptionHandler = 0x1;
constexpr std::uint8_t kUnwindFlagChainInfo = 0x4;
constexpr std::uint32_t kExecuteHandler = 1;  // EXCEPTION_EXECUTE_HANDLER as a scope's filter
constexpr std::uint32_t kMaxScopes = 1024;

class ImageView {
 public:
  ImageView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  // Zero when out of bounds; callers check Has() where zero is a valid value.
  template <typename T>
  T At(std::uint64_t offset) const {
    T value{};
    if (Has(offset, sizeof(T))) std::memcpy(&value, data_ + offset, sizeof(T));
    return value;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Whether the routine at `handlerRva` is __C_specific_handler: an import is
// reached through the linker's thunk, "jmp qword ptr [rip + disp32]" (FF 25)
// whose slot in the import address table holds the bound address.
bool IsCSpecificHandler(const ImageView& image, std::uint32_t handlerRva, const void* bound) {
  if (!image.Has(handlerRva, 6) || image.At<std::uint8_t>(handlerRva) != 0xFF ||
      image.At<std::uint8_t>(handlerRva + 1) != 0x25) {
    return false;
  }
  const std::int64_t slot =
      static_cast<std::int64_t>(handlerRva) + 6 + image.At<std::int32_t>(handlerRva + 2);
  if (slot < 0 || !image.Has(static_cast<std::uint64_t>(slot), 8)) return false;
  return image.At<std::uint64_t>(static_cast<std::uint64_t>(slot)) ==
         reinterpret_cast<std::uint64_t>(bound);
}

void ReadFunction(const ImageView& image, std::uint64_t entry, const void* cSpecificHandler,
                  std::vector<GuardedScope>* scopes) {
  const auto functionBegin = image.At<std::uint32_t>(entry);
  const auto functionEnd = image.At<std::uint32_t>(entry + 4);
  const auto unwind = image.At<std::uint32_t>(entry + 8);
  if (functionBegin >= functionEnd || !image.Has(unwind, 4)) return;
  const auto versionAndFlags = image.At<std::uint8_t>(unwind);
  const std::uint8_t version = versionAndFlags & 0x7;
  const std::uint8_t flags = versionAndFlags >> 3;
  if ((version != 1 && version != 2) || (flags & kUnwindFlagExceptionHandler) == 0 ||
      (flags & kUnwindFlagChainInfo) != 0) {
    return;
  }
  const auto prologSize = image.At<std::uint8_t>(unwind + 1);
  const auto codeCount = image.At<std::uint8_t>(unwind + 2);
  const auto frame = image.At<std::uint8_t>(unwind + 3);
  const std::uint64_t handler = unwind + 4 + 2ull * ((codeCount + 1u) & ~1u);
  if (!image.Has(handler, 8)) return;
  if (!IsCSpecificHandler(image, image.At<std::uint32_t>(handler), cSpecificHandler)) return;
  const auto count = image.At<std::uint32_t>(handler + 4);
  if (count > kMaxScopes || !image.Has(handler + 8, 16ull * count)) return;
  const std::uint64_t bodyBegin = static_cast<std::uint64_t>(functionBegin) + prologSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t record = handler + 8 + 16ull * i;
    GuardedScope scope;
    scope.begin = image.At<std::uint32_t>(record);
    scope.end = image.At<std::uint32_t>(record + 4);
    const auto filter = image.At<std::uint32_t>(record + 8);
    scope.jumpTarget = image.At<std::uint32_t>(record + 12);
    scope.bodyBegin = static_cast<std::uint32_t>(bodyBegin);
    scope.frameRegister = frame & 0xF;
    scope.frameOffset = frame >> 4;
    // A termination handler (no jump target) or a filter routine is not
    // run here; nor is a scope reaching outside its routine.
    if (filter != kExecuteHandler || scope.jumpTarget < functionBegin ||
        scope.jumpTarget >= functionEnd || scope.begin < bodyBegin || scope.begin >= scope.end ||
        scope.end > functionEnd) {
      continue;
    }
    scopes->push_back(scope);
  }
}

}  // namespace

std::vector<GuardedScope> ReadGuardedScopes(const std::uint8_t* image, std::size_t size,
                                            std::uint32_t directoryRva,
                                            std::uint32_t directorySize,
                                            const void* cSpecificHandler) {
  const ImageView view(image, size);
  std::vector<GuardedScope> scopes;
  if (!view.Has(directoryRva, directorySize)) return scopes;
  for (std::uint64_t entry = directoryRva; entry + 12 <= directoryRva + directorySize; entry += 12) {
    ReadFunction(view, entry, cSpecificHandler, &scopes);
  }
  return scopes;
}

}  // namespace sim::loader
