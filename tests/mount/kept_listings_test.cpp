// When a kept listing is used again: the same program, the same folder,
// within its lifetime, nothing changed since it was taken, and room for it.
#include "kept_listings.h"

#include <gtest/gtest.h>

namespace tavo::tool {
namespace {

using namespace std::chrono_literals;

KeptListings::Entries Listing(std::size_t entries) {
  return std::make_shared<std::vector<ListedName>>(entries, ListedName{"a", {}, true});
}

struct Case {
  const char* what;
  std::string folder;
  std::uint32_t process;
  KeptListings::Clock::duration later;
  bool changedWhileListing, changedAfter;
  bool used;
};

const Case kCases[] = {
    {"the same program and folder a moment later", "/docs", 7, 999ms, false, false, true},
    {"another program", "/docs", 8, 0ms, false, false, false},
    {"another folder", "/other", 7, 0ms, false, false, false},
    {"its lifetime over", "/docs", 7, 1s, false, false, false},
    {"a change while it was taken", "/docs", 7, 0ms, true, false, false},
    {"a change since", "/docs", 7, 0ms, false, true, false},
};

TEST(KeptListings, UsedOnlyWhenNothingCanHaveChanged) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    KeptListings kept(1s, 100);
    const auto start = KeptListings::Clock::now();
    const std::uint64_t generation = kept.Generation();
    if (c.changedWhileListing) kept.Changed();
    kept.Keep("/docs", 7, generation, Listing(3), start);
    if (c.changedAfter) kept.Changed();
    EXPECT_EQ(kept.Find(c.folder, c.process, start + c.later) != nullptr, c.used);
  }
}

TEST(KeptListings, KeepsAtMostItsCapacityStaleOnesGoingFirst) {
  KeptListings kept(1s, 10);
  const auto start = KeptListings::Clock::now();
  kept.Keep("/old", 1, kept.Generation(), Listing(4), start);
  kept.Keep("/a", 1, kept.Generation(), Listing(4), start + 500ms);
  kept.Keep("/b", 1, kept.Generation(), Listing(4), start + 1s);  // /old is stale: it goes
  EXPECT_NE(kept.Find("/a", 1, start + 1s), nullptr);
  EXPECT_NE(kept.Find("/b", 1, start + 1s), nullptr);
  kept.Keep("/c", 1, kept.Generation(), Listing(4), start + 1s);  // none stale: all go
  EXPECT_EQ(kept.Find("/a", 1, start + 1s), nullptr);
  EXPECT_NE(kept.Find("/c", 1, start + 1s), nullptr);
  kept.Keep("/c", 1, kept.Generation(), Listing(8), start + 1s);  // replaces its own 4
  EXPECT_EQ(kept.Find("/c", 1, start + 1s)->size(), 8u);
  kept.Keep("/huge", 1, kept.Generation(), Listing(11), start + 1s);
  EXPECT_EQ(kept.Find("/huge", 1, start + 1s), nullptr);
  EXPECT_NE(kept.Find("/c", 1, start + 1s), nullptr);
}

}  // namespace
}  // namespace tavo::tool
