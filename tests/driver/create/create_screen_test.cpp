// The create screen against the full classification: over the same names,
// the screen lets a create leave early exactly when every route the full
// decision may name it by (the Filter Manager's: the volume's device name
// in front; the driver's own: MergedViewRoot's volume part in front) places
// it under no root.
#include "create/create_screen.h"
#include "create/path_classification.h"
#include "driver_fixture.h"
#include "harness/strings.h"

namespace tavo::testing {
namespace {

using sim::harness::ToUtf8;

constexpr char16_t kVolume[] = u"\\Device\\HarddiskVolume3";
const std::u16string kMerged = std::u16string(kVolume) + u"\\Users\\ann\\Tavo";
const std::u16string kBackend = std::u16string(kVolume) + u"\\Users\\ann\\AppData\\Tavo";
// A second path of the view through an 8.3 alias of one of its components.
const std::u16string kSecondary = std::u16string(kVolume) + u"\\Users\\ANN~1\\Tavo";

struct Row {
  const char* what;
  std::u16string volume;
  std::u16string fileName;
  bool screened;  // the screen lets the create leave at once
};

// What the full decision makes of a full name: not placed under a root by
// the backend test or the view classification, after the "\." trim an
// open applies first.
bool FullyOutside(const std::u16string& full) {
  std::vector<char16_t> chars(full.begin(), full.end());
  chars.push_back(u'\0');
  UNICODE_STRING name{static_cast<USHORT>(full.size() * 2), static_cast<USHORT>(chars.size() * 2),
                      reinterpret_cast<PWCH>(chars.data())};
  (void)IsDesktopIniName(name.Buffer, &name.Length);
  ViewPathKind kind;
  return !IsUnderBackendRoot(&name, FALSE) && !ClassifyViewPath(&name, &kind);
}

class CreateScreenTest : public DriverTest {
 protected:
  void CheckRows(const std::vector<Row>& rows, const std::u16string& mergedVolume) {
    for (const Row& row : rows) {
      std::u16string volumeText = row.volume, fileText = row.fileName;
      UNICODE_STRING volume = sim::harness::MakeUnicodeString(volumeText);
      UNICODE_STRING fileName = sim::harness::MakeUnicodeString(fileText);
      const bool screened = IsNameOutsideEveryRoot(&volume, &fileName) != FALSE;
      EXPECT_EQ(screened, row.screened) << row.what;
      const bool fullyOutside =
          FullyOutside(row.volume + row.fileName) && FullyOutside(mergedVolume + row.fileName);
      EXPECT_EQ(screened, fullyOutside) << row.what << ": " << ToUtf8(row.fileName);
      EXPECT_EQ(sim::harness::ToU16(fileName), row.fileName) << row.what;  // untouched
    }
  }
  void Configure(std::u16string_view merged) {
    ConnectClient();
    ASSERT_EQ(client_->Channel().Configure(1, merged, kBackend, kSecondary).hresult, S_OK);
  }
};

TEST_F(CreateScreenTest, LeavesEarlyExactlyWhereTheFullClassificationPassesTheName) {
  Configure(kMerged);
  const std::u16string other = u"\\Device\\HarddiskVolume4";
  const std::vector<Row> rows = {
      {"ordinary file", kVolume, u"\\Windows\\System32\\kernel32.dll", true},
      {"volume root", kVolume, u"\\", true},
      {"parent of the roots", kVolume, u"\\Users\\ann", true},
      {"merged root", kVolume, u"\\Users\\ann\\Tavo", false},
      {"merged root, trailing backslash", kVolume, u"\\Users\\ann\\Tavo\\", false},
      {"merged root, final dot", kVolume, u"\\Users\\ann\\Tavo\\.", false},
      {"under the root, other case", kVolume, u"\\USERS\\ANN\\tavo\\Docs\\a.txt", false},
      {"stream of the root folder", kVolume, u"\\Users\\ann\\Tavo:meta:$DATA", true},
      {"stream of an item", kVolume, u"\\Users\\ann\\Tavo\\a.txt:meta", false},
      {"shares the root's prefix", kVolume, u"\\Users\\ann\\Tavo2\\a.txt", true},
      {"as long as the root, other folder", kVolume, u"\\Users\\bob\\Docs\\a.txt", true},
      {"shorter than the root", kVolume, u"\\Users\\ann\\Tav", true},
      {"backend root", kVolume, u"\\Users\\ann\\AppData\\Tavo", false},
      {"under the backend", kVolume, u"\\users\\ann\\appdata\\tavo\\x.txt", false},
      {"shares the backend's prefix", kVolume, u"\\Users\\ann\\AppData\\TavoX", true},
      {"secondary root (an 8.3 alias)", kVolume, u"\\Users\\ann~1\\Tavo\\b", false},
      {"other 8.3 alias of a root component", kVolume, u"\\USERS~1\\ann\\Tavo\\a.txt", true},
      {"8.3 alias of the last component", kVolume, u"\\Users\\ann\\TAVO~1\\a.txt", true},
      {"other volume, ordinary file", other, u"\\Windows\\a.dll", true},
      // The driver's own name provider names this one in the view.
      {"other volume, the view's path", other, u"\\Users\\ann\\Tavo\\a.txt", false},
      // The driver's own route puts the view's volume (not this one) in front,
      // whatever this volume's name's length.
      {"longer volume name, the view's path", u"\\Device\\HarddiskVolume33",
       u"\\Users\\ann\\Tavo\\a.txt", false},
      {"shorter volume name, the view's path", u"\\Device\\Harddisk", u"\\Users\\ann\\Tavo", false},
      {"volume name longer than the root's", u"\\Device\\HarddiskVolume33", u"\\Users", true},
      {"root split across the join", u"\\Device\\HarddiskVolume3\\Users", u"\\ann\\Tavo\\a", false},
      {"join ends inside the root", u"\\Device\\HarddiskVolume3\\Users", u"\\ann", true},
  };
  CheckRows(rows, kVolume);
}

TEST_F(CreateScreenTest, FollowsTheRootsWhenTheyChange) {
  Configure(kMerged);
  ASSERT_EQ(client_->Channel().Configure(1, kMerged + u"2", kBackend, kSecondary).hresult, S_OK);
  CheckRows({{"under the new root", kVolume, u"\\Users\\ann\\Tavo2\\a.txt", false},
             {"under the old root", kVolume, u"\\Users\\ann\\Tavo\\a.txt", true}},
            kVolume);
}

// A view rooted at the volume itself (its root has no third backslash) takes
// every name on the volume, by either route.
TEST_F(CreateScreenTest, AViewRootedAtTheVolumeItselfScreensNothing) {
  Configure(kVolume);
  CheckRows({{"a file", kVolume, u"\\a.txt", false},
             {"the volume root", kVolume, u"\\", false},
             {"final dot", kVolume, u"\\.", false},
             {"other volume", u"\\Device\\HarddiskVolume4", u"\\a.txt", false}},
            kVolume);
}

// A root shorter than the view's volume part (a client may send one) holds
// every name the driver's own route composes on that volume.
TEST_F(CreateScreenTest, ARootShorterThanTheViewsVolumePartHoldsTheDriversOwnRoute) {
  ConnectClient();
  ASSERT_EQ(client_->Channel().Configure(1, kMerged, u"\\Device", u"").hresult, S_OK);
  CheckRows({{"another volume's name", u"\\Other\\Vol", u"\\Windows\\a.dll", false}}, kVolume);
}

TEST_F(CreateScreenTest, WithoutAMergedRootOnlyTheBackendCounts) {
  Configure(u"");
  const std::vector<Row> rows = {
      {"ordinary file", kVolume, u"\\Windows\\a.dll", true},
      {"the view's path", kVolume, u"\\Users\\ann\\Tavo\\a.txt", true},
      {"secondary path", kVolume, u"\\Users\\ANN~1\\Tavo\\a.txt", true},
      {"under the backend", kVolume, u"\\Users\\ann\\AppData\\Tavo\\x", false},
  };
  // Without a merged root the driver names nothing itself.
  CheckRows(rows, kVolume);
}

}  // namespace
}  // namespace tavo::testing
