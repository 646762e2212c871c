// The item-information cache: exact-path entries living 20 seconds.
#include "driver_fixture.h"
#include "harness/clock.h"
#include "harness/strings.h"
#include "setinfo/item_info_cache.h"

namespace tavo::testing {
namespace {

using sim::harness::KernelDuration;

class ItemInfoCacheTest : public DriverTest {
 protected:
  static void Cache(std::u16string path, std::vector<std::uint8_t> reply) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    CacheItemInfo(&name, reply.data(), static_cast<ULONG>(reply.size()));
  }
  // The cached reply, or nothing.
  static std::vector<std::uint8_t> Lookup(std::u16string path) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    PoolBuffer copy;
    LookupItemInfo(&name, &copy);
    return {copy.Data(), copy.Data() + copy.Size()};
  }
  static void Forget(std::u16string path) {
    UNICODE_STRING name = sim::harness::MakeUnicodeString(path);
    ForgetItemInfo(&name);
  }
};

const std::u16string kItem = u"\\Device\\HarddiskVolume3\\Tavo\\a.txt";

// An answer asked for before a server delete of its item, or of a folder
// above it, in any case, completed is not kept; one about another item is.
TEST_F(ItemInfoCacheTest, AnswersOvertakenByAServerDeleteAreNotKept) {
  struct Row {
    const char* what;
    std::u16string asked, deleted;
    bool kept;
  };
  const Row rows[] = {
      {"same path", kItem, kItem, false},
      {"other case", kItem, u"\\Device\\HarddiskVolume3\\TAVO\\A.TXT", false},
      {"other case beyond ASCII", u"\\Device\\HarddiskVolume3\\Tavo\\\u00e4pfel",
       u"\\Device\\HarddiskVolume3\\Tavo\\\u00c4PFEL", false},
      {"folder above", kItem, u"\\Device\\HarddiskVolume3\\Tavo", false},
      {"another item", kItem, u"\\Device\\HarddiskVolume3\\Tavo\\b.txt", true},
  };
  for (Row row : rows) {
    EmptyItemInfoCache();
    UNICODE_STRING asked = sim::harness::MakeUnicodeString(row.asked);
    UNICODE_STRING deleted = sim::harness::MakeUnicodeString(row.deleted);
    const ULONG queriedAt = ServerDeleteGeneration(&asked);
    ForgetDeletedItem(&deleted);
    const std::uint8_t reply = 5;
    CacheItemInfoIfCurrent(&asked, &reply, 1, queriedAt);
    EXPECT_EQ(Lookup(row.asked).size(), row.kept ? 1u : 0u) << row.what;
  }
}

// An entry answers its exact path only (not another case, a path below it
// or its parent), a copy each time; caching again keeps the first reply; an
// empty reply is not kept; an expired entry stays until a lookup meets it.
TEST_F(ItemInfoCacheTest, ExactPathsFirstRepliesAndSeparateCopies) {
  Forget(kItem);  // nothing cached: nothing happens
  Cache(kItem, {4, 5});
  Cache(kItem, {6});
  auto first = Lookup(kItem);
  auto second = Lookup(kItem);
  EXPECT_EQ(first, (std::vector<std::uint8_t>{4, 5}));
  EXPECT_EQ(first, second);
  EXPECT_TRUE(Lookup(u"\\Device\\HarddiskVolume3\\Tavo\\A.TXT").empty());
  EXPECT_TRUE(Lookup(kItem + u"\\child").empty());
  EXPECT_TRUE(Lookup(u"\\Device\\HarddiskVolume3\\Tavo").empty());
  Forget(kItem);
  EXPECT_TRUE(Lookup(kItem).empty());
  Cache(kItem, {});  // an empty reply is not cached
  EXPECT_TRUE(Lookup(kItem).empty());
  Cache(kItem, {1});
  sim::harness::AdvanceClock(KernelDuration(kItemInfoLifetime));
  Cache(kItem, {3});
  EXPECT_TRUE(Lookup(kItem).empty());
}

}  // namespace
}  // namespace tavo::testing
