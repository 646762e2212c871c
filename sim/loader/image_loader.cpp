// The PE32+ loader: header checks, section mapping, base relocations and
// import binding. Offsets and constants are those of the PE format's
// documentation; every read of the file or the mapped image is bounds-checked
// first, so a damaged image is refused, never followed.
#include "loader/image_loader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "loader/exception_scopes.h"
#include "loader/kernel_exports.h"
#include "loader/privileged_instructions.h"

namespace sim::loader {
namespace {

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kOptionalFixedSize = 112;  // up to the data directories
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kMaxSections = 96;
constexpr std::uint32_t kPageSize = 0x1000;
constexpr std::uint32_t kMaxImageSize = 64u << 20;

enum Directory : std::uint32_t {
  kImportDirectory = 1,
  kExceptionDirectory = 3,
  kSecurityDirectory = 4,  // its address is a file offset, not an RVA
  kRelocationDirectory = 5,
  kTlsDirectory = 9,
  kDelayImportDirectory = 13,
};

constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

constexpr std::uint16_t kRelocationAbsolute = 0;
constexpr std::uint16_t kRelocationDir64 = 10;
constexpr std::uint64_t kImportByOrdinal = 1ull << 63;

// A bounds-checked view of bytes (the file, or the image being mapped).
struct Bytes {
  const std::uint8_t* data;
  std::size_t size;

  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size && length <= size - offset;
  }
  template <typename T>
  T At(std::size_t offset) const {  // callers check Has() first
    T value;
    std::memcpy(&value, data + offset, sizeof(T));
    return value;
  }
  // A NUL-terminated name at `offset`, or false when it runs off the end.
  bool NameAt(std::uint64_t offset, std::string* name) const {
    if (offset >= size) return false;
    const void* end = std::memchr(data + offset, 0, size - offset);
    if (end == nullptr) return false;
    name->assign(reinterpret_cast<const char*>(data + offset),
                 static_cast<const std::uint8_t*>(end) - (data + offset));
    return true;
  }
};

struct Section {
  std::string name;
  std::uint32_t virtualAddress;
  std::uint32_t virtualSize;  // what the image occupies (the raw size if none given)
  std::uint32_t rawSize;
  std::uint32_t rawOffset;
  std::uint32_t characteristics;
};

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct Headers {
  std::uint64_t imageBase;
  std::uint32_t entryPoint;
  std::uint32_t sizeOfImage;
  std::uint32_t sizeOfHeaders;
  std::uint16_t characteristics;
  DataDirectory directories[16];
  std::vector<Section> sections;
};

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }
std::uint64_t RoundUp(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

// The checksum field's own bytes count as zero; the sum of 16-bit words is
// folded to 16 bits and the file length added.
std::uint32_t Checksum(const std::vector<std::uint8_t>& file, std::size_t checksumOffset) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < file.size(); i += 2) {
    if (i >= checksumOffset && i < checksumOffset + 4) continue;
    std::uint32_t word = file[i];
    if (i + 1 < file.size()) word |= static_cast<std::uint32_t>(file[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + file.size());
}

bool Fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

bool ReadHeaders(const std::vector<std::uint8_t>& file, Headers* h, std::string* error) {
  const Bytes in{file.data(), file.size()};
  if (!in.Has(0, 64) || in.At<std::uint16_t>(0) != 0x5A4D) {
    return Fail(error, "not an executable image: no MZ header");
  }
  const std::uint32_t peOffset = in.At<std::uint32_t>(0x3C);
  if (!in.Has(peOffset, 4 + kFileHeaderSize) || in.At<std::uint32_t>(peOffset) != 0x00004550) {
    return Fail(error, "not a PE image: no PE signature");
  }
  const std::size_t fileHeader = peOffset + 4;
  if (in.At<std::uint16_t>(fileHeader) != kMachineAmd64) {
    return Fail(error, "not an x64 image: machine is not AMD64");
  }
  const std::uint16_t sectionCount = in.At<std::uint16_t>(fileHeader + 2);
  const std::uint16_t optionalSize = in.At<std::uint16_t>(fileHeader + 16);
  h->characteristics = in.At<std::uint16_t>(fileHeader + 18);
  if ((h->characteristics & kFileExecutableImage) == 0) {
    return Fail(error, "not an executable image: the file header does not mark it executable");
  }
  const std::size_t optional = fileHeader + kFileHeaderSize;
  if (optionalSize < kOptionalFixedSize || !in.Has(optional, optionalSize)) {
    return Fail(error, "bad optional header: too short or past the end of the file");
  }
  if (in.At<std::uint16_t>(optional) != kOptionalMagicPe32Plus) {
    return Fail(error, "not a PE32+ image: wrong optional header magic");
  }
  h->entryPoint = in.At<std::uint32_t>(optional + 16);
  h->imageBase = in.At<std::uint64_t>(optional + 24);
  const std::uint32_t sectionAlignment = in.At<std::uint32_t>(optional + 32);
  const std::uint32_t fileAlignment = in.At<std::uint32_t>(optional + 36);
  h->sizeOfImage = in.At<std::uint32_t>(optional + 56);
  h->sizeOfHeaders = in.At<std::uint32_t>(optional + 60);
  const std::uint32_t checksum = in.At<std::uint32_t>(optional + 64);
  const std::uint16_t subsystem = in.At<std::uint16_t>(optional + 68);
  const std::uint32_t directoryCount = in.At<std::uint32_t>(optional + 108);

  if (subsystem != kSubsystemNative) return Fail(error, "not a driver: subsystem is not native");
  if (!IsPowerOfTwo(fileAlignment) || fileAlignment < 512 || fileAlignment > 0x10000 ||
      sectionAlignment != kPageSize) {
    // Windows accepts other section alignments; a driver linked for it
    // uses the page size, the only one the simulation maps.
    return Fail(error, "bad alignment: file alignment must be a power of two from 512 to 64K "
                       "and section alignment the page size");
  }
  if (h->sizeOfImage == 0 || h->sizeOfImage % sectionAlignment != 0 ||
      h->sizeOfImage > kMaxImageSize) {
    return Fail(error, "bad image size: SizeOfImage is not a multiple of the section alignment");
  }
  if (h->sizeOfHeaders > file.size() || h->sizeOfHeaders > h->sizeOfImage) {
    return Fail(error, "bad image size: the headers run past the end of the file");
  }
  if (checksum != Checksum(file, optional + 64)) {
    return Fail(error, "bad checksum: the image has been altered since it was linked");
  }
  if (directoryCount > 16 || kOptionalFixedSize + directoryCount * 8ull > optionalSize) {
    return Fail(error, "bad optional header: more data directories than it holds");
  }
  if (sectionCount == 0 || sectionCount > kMaxSections) {
    return Fail(error, "bad section table: no sections or too many");
  }
  const std::size_t table = optional + optionalSize;
  if (!in.Has(table, sectionCount * kSectionHeaderSize) ||
      table + sectionCount * kSectionHeaderSize > h->sizeOfHeaders) {
    return Fail(error, "bad section table: past the end of the headers");
  }
  std::uint64_t nextFree = RoundUp(h->sizeOfHeaders, sectionAlignment);
  for (std::size_t i = 0; i < sectionCount; ++i) {
    const std::size_t at = table + i * kSectionHeaderSize;
    Section s;
    s.name.assign(reinterpret_cast<const char*>(file.data() + at),
                  strnlen(reinterpret_cast<const char*>(file.data() + at), 8));
    s.virtualSize = in.At<std::uint32_t>(at + 8);
    s.virtualAddress = in.At<std::uint32_t>(at + 12);
    s.rawSize = in.At<std::uint32_t>(at + 16);
    s.rawOffset = in.At<std::uint32_t>(at + 20);
    s.characteristics = in.At<std::uint32_t>(at + 36);
    if (s.virtualSize == 0) s.virtualSize = s.rawSize;
    const std::string what = "bad section " + s.name + ": ";
    if (s.virtualAddress % sectionAlignment != 0 || s.virtualAddress < nextFree) {
      return Fail(error, what + "not aligned, or overlapping the headers or the section before it");
    }
    if (static_cast<std::uint64_t>(s.virtualAddress) + s.virtualSize > h->sizeOfImage) {
      return Fail(error, what + "extends past SizeOfImage");
    }
    if (s.rawSize != 0 && (s.rawOffset % fileAlignment != 0 || !in.Has(s.rawOffset, s.rawSize))) {
      return Fail(error, what + "its raw data lies outside the file");
    }
    if ((s.characteristics & kSectionWrite) && (s.characteristics & kSectionExecute)) {
      return Fail(error, what + "both writable and executable");
    }
    nextFree = RoundUp(static_cast<std::uint64_t>(s.virtualAddress) + s.virtualSize,
                       sectionAlignment);
    h->sections.push_back(std::move(s));
  }
  for (std::uint32_t i = 0; i < directoryCount; ++i) {
    DataDirectory& d = h->directories[i];
    d.rva = in.At<std::uint32_t>(optional + kOptionalFixedSize + 8 * i);
    d.size = in.At<std::uint32_t>(optional + kOptionalFixedSize + 8 * i + 4);
    const std::uint64_t limit = i == kSecurityDirectory ? file.size() : h->sizeOfImage;
    if (static_cast<std::uint64_t>(d.rva) + d.size > limit) {
      return Fail(error, "bad data directory " + std::to_string(i) + ": outside the image");
    }
  }
  if (h->directories[kTlsDirectory].size != 0) {
    return Fail(error, "bad image: a driver may not have a TLS directory");
  }
  if (h->directories[kDelayImportDirectory].size != 0) {
    return Fail(error, "bad image: a driver may not have delay-load imports");
  }

  bool entryInCode = false;
  for (const Section& s : h->sections) {
    entryInCode |= (s.characteristics & kSectionExecute) && h->entryPoint >= s.virtualAddress &&
                   h->entryPoint < s.virtualAddress + s.virtualSize;
  }
  if (!entryInCode) return Fail(error, "bad entry point: not inside an executable section");
  return true;
}

bool ApplyRelocations(const Headers& h, std::uint8_t* image, std::string* error) {
  const std::uint64_t delta = reinterpret_cast<std::uintptr_t>(image) - h.imageBase;
  const DataDirectory& dir = h.directories[kRelocationDirectory];
  if (dir.size == 0) {
    if (delta != 0 || (h.characteristics & kFileRelocsStripped)) {
      return Fail(error, "bad relocations: the image cannot be moved from its preferred base");
    }
    return true;
  }
  const Bytes img{image, h.sizeOfImage};
  for (std::uint64_t block = dir.rva; block < dir.rva + dir.size;) {
    if (!img.Has(block, 8)) return Fail(error, "bad relocations: a block header runs off the end");
    const std::uint32_t page = img.At<std::uint32_t>(block);
    const std::uint32_t blockSize = img.At<std::uint32_t>(block + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || block + blockSize > dir.rva + dir.size) {
      return Fail(error, "bad relocations: a block has an impossible size");
    }
    for (std::uint64_t e = block + 8; e < block + blockSize; e += 2) {
      const std::uint16_t entry = img.At<std::uint16_t>(e);
      const std::uint16_t type = entry >> 12;
      const std::uint64_t target = static_cast<std::uint64_t>(page) + (entry & 0xFFF);
      if (type == kRelocationAbsolute) continue;
      if (type != kRelocationDir64) {
        return Fail(error, "bad relocations: type " + std::to_string(type) +
                               " is not a 64-bit relocation");
      }
      if (!img.Has(target, 8)) return Fail(error, "bad relocations: a target lies outside the image");
      std::uint64_t value;
      std::memcpy(&value, image + target, 8);
      value += delta;
      std::memcpy(image + target, &value, 8);
    }
    block += blockSize;
  }
  return true;
}

bool BindImports(const Headers& h, std::uint8_t* image, std::string* error) {
  const DataDirectory& dir = h.directories[kImportDirectory];
  const Bytes img{image, h.sizeOfImage};
  for (std::uint64_t d = dir.rva; dir.size != 0; d += 20) {
    if (!img.Has(d, 20)) return Fail(error, "bad imports: the descriptor table runs off the end");
    const std::uint32_t lookup = img.At<std::uint32_t>(d);
    const std::uint32_t nameRva = img.At<std::uint32_t>(d + 12);
    const std::uint32_t iat = img.At<std::uint32_t>(d + 16);
    if (nameRva == 0 && iat == 0) break;  // the all-zero terminator
    std::string dll;
    if (!img.NameAt(nameRva, &dll)) return Fail(error, "bad imports: a module name runs off the end");
    const ExportModule* module = FindExportModule(dll);
    if (module == nullptr) {
      return Fail(error, "import from " + dll + ": a driver may import only from ntoskrnl.exe, "
                         "HAL.dll and FLTMGR.SYS");
    }
    const std::uint32_t names = lookup != 0 ? lookup : iat;
    for (std::uint64_t i = 0;; i += 8) {
      if (!img.Has(names + i, 8) || !img.Has(iat + i, 8)) {
        return Fail(error, "bad imports: the table of " + dll + " runs off the end");
      }
      const std::uint64_t thunk = img.At<std::uint64_t>(names + i);
      if (thunk == 0) break;
      if (thunk & kImportByOrdinal) {
        return Fail(error, "import from " + dll + " by ordinal: only imports by name are bound");
      }
      std::string name;
      if (thunk > UINT32_MAX || !img.NameAt(thunk + 2, &name)) {
        return Fail(error, "bad imports: a name in the table of " + dll + " runs off the end");
      }
      const void* address = FindExport(*module, name);
      if (address == nullptr) {
        return Fail(error, "import " + dll + "!" + name + " is not provided by the simulation");
      }
      const auto value = reinterpret_cast<std::uint64_t>(address);
      std::memcpy(image + iat + i, &value, 8);
    }
  }
  return true;
}

int Protection(std::uint32_t characteristics) {
  int protection = PROT_NONE;
  if (characteristics & kSectionRead) protection |= PROT_READ;
  if (characteristics & kSectionWrite) protection |= PROT_READ | PROT_WRITE;
  if (characteristics & kSectionExecute) protection |= PROT_READ | PROT_EXEC;
  return protection;
}

}  // namespace

LoadedImage::~LoadedImage() {
  UnregisterImageCode(base_);
  munmap(reinterpret_cast<void*>(base_), size_);
}

std::unique_ptr<LoadedImage> MapImage(const std::vector<std::uint8_t>& file, std::string* error) {
  Headers h;
  if (!ReadHeaders(file, &h, error)) return nullptr;
  void* mapped = mmap(nullptr, h.sizeOfImage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
  if (mapped == MAP_FAILED) {
    *error = "out of memory: cannot map " + std::to_string(h.sizeOfImage) + " bytes";
    return nullptr;
  }
  std::unique_ptr<LoadedImage> loaded(
      new LoadedImage(reinterpret_cast<std::uintptr_t>(mapped), h.sizeOfImage));
  auto* image = static_cast<std::uint8_t*>(mapped);
  std::memcpy(image, file.data(), h.sizeOfHeaders);
  for (const Section& s : h.sections) {
    std::memcpy(image + s.virtualAddress, file.data() + s.rawOffset,
                std::min(s.rawSize, s.virtualSize));
  }
  if (!ApplyRelocations(h, image, error) || !BindImports(h, image, error)) return nullptr;
  loaded->scopes_ = ReadGuardedScopes(
      image, h.sizeOfImage, h.directories[kExceptionDirectory].rva,
      h.directories[kExceptionDirectory].size,
      FindExport(*FindExportModule("ntoskrnl.exe"), "__C_specific_handler"));

  // Final protections: headers read-only, each section as it asks, gaps
  // inaccessible; never a page both writable and executable.
  bool protectedAll = mprotect(image, h.sizeOfImage, PROT_NONE) == 0 &&
                      mprotect(image, RoundUp(h.sizeOfHeaders, kPageSize), PROT_READ) == 0;
  for (const Section& s : h.sections) {
    if (s.virtualSize == 0) continue;
    protectedAll = protectedAll && mprotect(image + s.virtualAddress,
                                            RoundUp(s.virtualSize, kPageSize),
                                            Protection(s.characteristics)) == 0;
    if (protectedAll && (s.characteristics & kSectionExecute)) {
      RegisterImageCode(loaded->base_, loaded->base_ + s.virtualAddress,
                        loaded->base_ + s.virtualAddress + s.virtualSize);
    }
  }
  if (!protectedAll) {
    *error = "out of memory: cannot set the sections' protections";
    return nullptr;
  }
  RegisterGuardedScopes(loaded->base_, loaded->scopes_.data(), loaded->scopes_.size());
  loaded->entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(image + h.entryPoint);
  return loaded;
}

std::unique_ptr<LoadedImage> LoadImageFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return nullptr;
  }
  std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
  return MapImage(file, error);
}

}  // namespace sim::loader
