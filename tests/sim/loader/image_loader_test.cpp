// The loader against the kernel build's tavo.sys (TAVO_DRIVER_IMAGE; the
// tests skip without it): the image maps with no page both writable and
// executable, and damaged copies are refused with the fault named. Each
// damaged copy except the checksum's own gets a correct checksum again, so
// the check under test is the one that refuses it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "harness/driver_image.h"
#include "loader/image_loader.h"

namespace {

using File = std::vector<std::uint8_t>;

std::uint32_t U32(const File& f, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, f.data() + at, 4);
  return v;
}
void Put16(File& f, std::size_t at, std::uint16_t v) { std::memcpy(f.data() + at, &v, 2); }
void Put32(File& f, std::size_t at, std::uint32_t v) { std::memcpy(f.data() + at, &v, 4); }

// Where the fields the rows damage live in this file.
struct Layout {
  explicit Layout(const File& f)
      : fileHeader(U32(f, 0x3C) + 4),
        optional(fileHeader + 20),
        sections(optional + (f[fileHeader + 16] | f[fileHeader + 17] << 8)),
        sectionCount(f[fileHeader + 2] | f[fileHeader + 3] << 8) {}
  std::size_t Section(const File& f, const char* name) const {
    for (std::size_t i = 0; i < sectionCount; ++i) {
      if (std::strncmp(reinterpret_cast<const char*>(f.data() + sections + 40 * i), name, 8) == 0) {
        return sections + 40 * i;
      }
    }
    ADD_FAILURE() << "no section " << name;
    return sections;
  }
  std::size_t FileOffset(const File& f, std::uint32_t rva) const {
    for (std::size_t i = 0; i < sectionCount; ++i) {
      const std::size_t s = sections + 40 * i;
      if (rva >= U32(f, s + 12) && rva < U32(f, s + 12) + U32(f, s + 16)) {
        return rva - U32(f, s + 12) + U32(f, s + 20);
      }
    }
    ADD_FAILURE() << "rva " << rva << " not in the file";
    return 0;
  }
  std::size_t Directory(int index) const { return optional + 112 + 8 * index; }

  std::size_t fileHeader, optional, sections, sectionCount;
};

// The checksum as the PE format defines it, written independently of the
// loader's.
void FixChecksum(File& f, const Layout& layout) {
  const std::size_t field = layout.optional + 64;
  Put32(f, field, 0);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < f.size(); i += 2) {
    sum += f[i] | (i + 1 < f.size() ? f[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  Put32(f, field, static_cast<std::uint32_t>(((sum & 0xFFFF) + (sum >> 16)) + f.size()));
}

void Rename(File& f, const std::string& from, const std::string& to) {
  auto at = std::search(f.begin(), f.end(), from.begin(), from.end());
  ASSERT_NE(at, f.end()) << from;
  std::copy(to.begin(), to.end(), at);
}

class ImageLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = sim::harness::DriverImageUnderTest();
    if (path.empty()) GTEST_SKIP() << "TAVO_DRIVER_IMAGE is not set";
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    image_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  File image_;
};

TEST_F(ImageLoaderTest, MapsNoPageWritableAndExecutable) {
  std::string error;
  auto loaded = sim::loader::MapImage(image_, &error);
  ASSERT_TRUE(loaded) << error;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int pages = 0;
  while (std::getline(maps, line)) {
    std::uintptr_t begin, end;
    char dash;
    std::string protection;
    std::istringstream(line) >> std::hex >> begin >> dash >> end >> protection;
    if (end <= loaded->Base() || begin >= loaded->Base() + loaded->Size()) continue;
    ++pages;
    EXPECT_FALSE(protection[1] == 'w' && protection[2] == 'x') << line;
  }
  EXPECT_GT(pages, 2);  // headers, code and data at least
}

struct DamageRow {
  const char* what;
  std::function<void(File&, const Layout&)> damage;
  const char* refusal;
  bool fixChecksum = true;
};

TEST_F(ImageLoaderTest, RefusesDamagedCopiesNamingTheFault) {
  const DamageRow rows[] = {
      {"no MZ", [](File& f, const Layout&) { f[0] = 'X'; }, "no MZ header"},
      {"PE header offset past the end",
       [](File& f, const Layout&) { Put32(f, 0x3C, static_cast<std::uint32_t>(f.size())); },
       "no PE signature"},
      {"machine i386", [](File& f, const Layout& l) { Put16(f, l.fileHeader, 0x14C); },
       "machine is not AMD64"},
      {"PE32 magic", [](File& f, const Layout& l) { Put16(f, l.optional, 0x10B); },
       "wrong optional header magic"},
      {"GUI subsystem", [](File& f, const Layout& l) { Put16(f, l.optional + 68, 2); },
       "subsystem is not native"},
      {"one byte changed after linking", [](File& f, const Layout&) { f[f.size() - 1] ^= 1; },
       "bad checksum", /*fixChecksum=*/false},
      {"TLS directory",
       [](File& f, const Layout& l) {
         Put32(f, l.Directory(9), 0x1000);
         Put32(f, l.Directory(9) + 4, 40);
       },
       "TLS directory"},
      {"import directory outside the image",
       [](File& f, const Layout& l) { Put32(f, l.Directory(1), U32(f, l.optional + 56)); },
       "data directory 1: outside the image"},
      {"section data past the end of the file",
       [](File& f, const Layout& l) {
         const std::size_t s = l.Section(f, ".text");
         Put32(f, s + 20, static_cast<std::uint32_t>(f.size() / 512 * 512));
       },
       "raw data lies outside the file"},
      {"code writable",
       [](File& f, const Layout& l) {
         const std::size_t s = l.Section(f, ".text");
         Put32(f, s + 36, U32(f, s + 36) | 0x80000000);
       },
       ".text: both writable and executable"},
      {"sections overlapping",
       [](File& f, const Layout& l) { Put32(f, l.sections + 40 + 12, U32(f, l.sections + 12)); },
       "overlapping"},
      {"image size cut short",
       [](File& f, const Layout& l) { Put32(f, l.optional + 56, U32(f, l.sections + 12)); },
       "extends past SizeOfImage"},
      {"entry point in data",
       [](File& f, const Layout& l) { Put32(f, l.optional + 16, U32(f, l.Section(f, ".rdata") + 12)); },
       "not inside an executable section"},
      {"relocation of a 32-bit kind",
       [](File& f, const Layout& l) {
         const std::size_t block = l.FileOffset(f, U32(f, l.Directory(5)));
         Put16(f, block + 8, static_cast<std::uint16_t>((3 << 12) | (f[block + 8] & 0xFFF)));
       },
       "type 3 is not a 64-bit relocation"},
      {"routine the simulation lacks",
       [](File& f, const Layout&) { Rename(f, "FltStartFiltering", "FltStartFilterinX"); },
       "import FLTMGR.SYS!FltStartFilterinX is not provided by the simulation"},
      {"module other than the kernel's",
       [](File& f, const Layout&) { Rename(f, "ntoskrnl.exe", "ntoskrnX.exe"); },
       "import from ntoskrnX.exe"},
  };
  for (const DamageRow& row : rows) {
    File copy = image_;
    const Layout layout(image_);
    row.damage(copy, layout);
    if (row.fixChecksum) FixChecksum(copy, layout);
    std::string error;
    EXPECT_EQ(sim::loader::MapImage(copy, &error), nullptr) << row.what;
    EXPECT_NE(error.find(row.refusal), std::string::npos) << row.what << ": " << error;
  }
}

// The guarded copy's unwind data gives one scope; unwind data the fault
// handler could not follow exactly gives none (a fault there stays a crash).
struct ScopeDamageRow {
  const char* what;
  std::function<void(File&, std::size_t unwind, std::size_t scopeTable)> damage;
  std::size_t scopes;
};

TEST_F(ImageLoaderTest, ReadsTheGuardedScopesItCanDispatchTo) {
  const Layout layout(image_);
  const std::size_t pdata = layout.FileOffset(image_, U32(image_, layout.Directory(3)));
  const std::size_t unwind = layout.FileOffset(image_, U32(image_, pdata + 8));
  const std::size_t handler = unwind + 4 + 2 * ((image_[unwind + 2] + 1u) & ~1u);
  const std::size_t scopeTable = handler + 4;
  const ScopeDamageRow rows[] = {
      {"as linked", [](File&, std::size_t, std::size_t) {}, 1},
      {"filter is a routine", [](File& f, std::size_t, std::size_t t) { Put32(f, t + 12, 0x1000); },
       0},
      {"termination handler", [](File& f, std::size_t, std::size_t t) { Put32(f, t + 16, 0); }, 0},
      {"scope covers the prologue",
       [&](File& f, std::size_t, std::size_t t) { Put32(f, t + 4, U32(f, pdata)); }, 0},
      {"handler other than __C_specific_handler",
       [&](File& f, std::size_t, std::size_t) { Put32(f, handler, U32(f, pdata)); }, 0},
      {"chained unwind data", [](File& f, std::size_t u, std::size_t) { f[u] |= 0x4 << 3; }, 0},
      {"scope count past the data",
       [](File& f, std::size_t, std::size_t t) { Put32(f, t, 0x00FFFFFF); }, 0},
  };
  for (const ScopeDamageRow& row : rows) {
    File copy = image_;
    row.damage(copy, unwind, scopeTable);
    FixChecksum(copy, layout);
    std::string error;
    auto loaded = sim::loader::MapImage(copy, &error);
    ASSERT_TRUE(loaded) << row.what << ": " << error;
    EXPECT_EQ(loaded->GuardedScopes().size(), row.scopes) << row.what;
  }
}

TEST(ImageLoader, UnreadableFileIsRefused) {
  std::string error;
  sim::harness::Driver* driver = nullptr;
  EXPECT_EQ(sim::harness::LoadDriverImage("/nonexistent/tavo.sys", {}, &driver, &error),
            STATUS_INVALID_IMAGE_FORMAT);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(error, "cannot read /nonexistent/tavo.sys");
}

}  // namespace
