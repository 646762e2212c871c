// Placing paths against the configured roots. (Every create classifies its
// name: the create-path tests walk the roots, their copies and the secondary
// rewrite; what is left here no walk reaches.)
#include "create/path_classification.h"
#include "driver_fixture.h"
#include "harness/strings.h"

namespace tavo::testing {
namespace {

using sim::harness::ToUtf8;

constexpr char16_t kSecondary[] = u"\\Device\\HarddiskVolume3\\S";
constexpr char16_t kBackend[] = u"\\Device\\HarddiskVolume3\\Cache\\Tavo";

class PathClassificationTest : public DriverTest {
 protected:
  void Configure(std::u16string_view merged, std::u16string_view backend,
                 std::u16string_view secondary) {
    if (!client_->Channel().Connected()) ConnectClient();
    ASSERT_EQ(client_->Channel().Configure(1, merged, backend, secondary).hresult, S_OK);
  }
};

// A path the test owns, with room for a terminator after it.
struct Path {
  explicit Path(std::u16string text) : chars(text.begin(), text.end()) {
    chars.push_back(u'\0');
    string =
        UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(chars.size() * 2),
                       reinterpret_cast<PWCH>(chars.data())};
  }
  std::vector<char16_t> chars;
  UNICODE_STRING string;
};

TEST_F(PathClassificationTest, NothingIsInTheViewWithoutAMergedRoot) {
  Configure(u"", kBackend, kSecondary);
  Path path(u"\\Device\\HarddiskVolume3\\S\\a.txt");
  ViewPathKind kind;
  EXPECT_FALSE(ClassifyViewPath(&path.string, &kind));
  EXPECT_EQ(kind, ViewPathNone);
  EXPECT_FALSE(IsMergedViewRoot(&path.string));
}

TEST_F(PathClassificationTest, PartialDownloadNames) {
  struct Case {
    std::u16string name;
    bool partial;
  };
  const Case cases[] = {{u"a.part", true},  {u"A.PART", true}, {u"b.PaRt", true},
                        {u".part", true},   {u"part", false},  {u"a.parts", false},
                        {u"a.pArx", false}, {u"", false}};
  for (const Case& c : cases) {
    Path name(c.name);
    EXPECT_EQ(IsPartialDownloadName(&name.string) != FALSE, c.partial) << ToUtf8(c.name);
  }
}

}  // namespace
}  // namespace tavo::testing
