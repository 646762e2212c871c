// Placing paths against the configured roots.
#include <cstring>

#include "core/globals.h"
#include "create/path_classification.h"
#include "driver_fixture.h"
#include "harness/strings.h"
#include "verifier/faults.h"

namespace tavo::testing {
namespace {

using sim::harness::ToU16;
using sim::harness::ToUtf8;

constexpr char16_t kMerged[] = u"\\Device\\HarddiskVolume3\\Tavo";
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

TEST_F(PathClassificationTest, ClassifyAgainstTheMergedAndSecondaryRoots) {
  Configure(kMerged, kBackend, kSecondary);
  struct Case {
    std::u16string path;
    ViewPathKind kind;
  };
  const Case cases[] = {
      {kMerged, ViewPathMerged},
      {u"\\DEVICE\\harddiskvolume3\\tavo\\a.txt", ViewPathMerged},
      {u"\\Device\\HarddiskVolume3\\Tavo\\", ViewPathMerged},
      {u"\\Device\\HarddiskVolume3\\Tavo2\\a.txt", ViewPathNone},
      {u"\\Device\\HarddiskVolume3\\Tav", ViewPathNone},
      {u"\\Device\\HarddiskVolume3\\S\\sub\\f.txt", ViewPathSecondary},
      {u"\\Device\\HarddiskVolume3\\S", ViewPathSecondary},
      {u"\\Device\\HarddiskVolume3\\Sx", ViewPathNone},
      {u"\\Device\\HarddiskVolume3", ViewPathNone},
      {u"", ViewPathNone},
  };
  for (const Case& c : cases) {
    Path path(c.path);
    const USHORT length = path.string.Length;
    ViewPathKind kind = ViewPathSecondary;
    EXPECT_EQ(ClassifyViewPath(&path.string, &kind), c.kind != ViewPathNone) << ToUtf8(c.path);
    EXPECT_EQ(kind, c.kind) << ToUtf8(c.path);
    EXPECT_EQ(path.string.Length, length);  // restored
  }
}

TEST_F(PathClassificationTest, NothingIsInTheViewWithoutAMergedRoot) {
  Configure(u"", kBackend, kSecondary);
  Path path(u"\\Device\\HarddiskVolume3\\S\\a.txt");
  ViewPathKind kind;
  EXPECT_FALSE(ClassifyViewPath(&path.string, &kind));
  EXPECT_EQ(kind, ViewPathNone);
  EXPECT_FALSE(IsMergedViewRoot(&path.string));
}

TEST_F(PathClassificationTest, MergedRootItselfAndBackendRoot) {
  Configure(kMerged, kBackend, kSecondary);
  Path root(u"\\device\\HARDDISKVOLUME3\\tavo"), under(u"\\Device\\HarddiskVolume3\\Tavo\\a");
  EXPECT_TRUE(IsMergedViewRoot(&root.string));
  EXPECT_FALSE(IsMergedViewRoot(&under.string));

  struct Case {
    std::u16string path;
    UCHAR volumeRelative;
    bool under;
  };
  const Case cases[] = {
      {kBackend, 0, true},
      {u"\\Device\\HarddiskVolume3\\Cache\\Tavo\\x\\y", 0, true},
      {u"\\Device\\HarddiskVolume3\\Cache\\TavoX", 0, false},
      {u"\\Cache\\Tavo\\x", 1, true},
      {u"\\Cache\\Tavo\\x", 0, false},
      {u"\\Device\\HarddiskVolume3\\Cache\\Tavo\\x", 1, false},
  };
  for (const Case& c : cases) {
    Path path(c.path);
    EXPECT_EQ(IsUnderBackendRoot(&path.string, c.volumeRelative) != FALSE, c.under)
        << ToUtf8(c.path);
  }
}

TEST_F(PathClassificationTest, CopiesAndVolumeRelativeCopies) {
  Configure(kMerged, kBackend, kSecondary);
  OwnedString merged, relative, backendRelative;
  EXPECT_TRUE(CopyMergedViewRoot(&merged));
  EXPECT_TRUE(CopyMergedViewRootVolumeRelative(&relative));
  EXPECT_TRUE(CopyBackendRootVolumeRelative(&backendRelative));
  EXPECT_EQ(ToU16(merged.Get()), kMerged);
  EXPECT_EQ(merged->MaximumLength, 570);
  EXPECT_EQ(ToU16(relative.Get()), u"\\Tavo");
  EXPECT_EQ(ToU16(backendRelative.Get()), u"\\Cache\\Tavo");

  // Without pool a root cannot be copied (the copy stays empty), but the
  // classification, which compares in place, still works.
  sim::faults::FailEvery(sim::faults::Site::PoolAllocation, sim::harness::PoolTag("Tavo"));
  Path path(u"\\Device\\HarddiskVolume3\\Tavo\\a");
  ViewPathKind kind;
  EXPECT_TRUE(ClassifyViewPath(&path.string, &kind));
  EXPECT_EQ(kind, ViewPathMerged);
  OwnedString failed;
  EXPECT_FALSE(CopyBackendRoot(&failed));  // pool was short
  EXPECT_FALSE(failed.HasBuffer());
  sim::faults::Clear();
}

TEST_F(PathClassificationTest, SecondaryPathsAreRewrittenUnderTheMergedRoot) {
  const std::u16string longMerged =
      u"\\Device\\HarddiskVolume3\\Users\\someone\\Documents\\The Merged View";
  Configure(longMerged, kBackend, kSecondary);
  std::u16string text = u"\\Device\\HarddiskVolume3\\S\\sub\\f.txt";
  OwnedString path = OwnedString::WithCapacity(NonPagedPool, static_cast<USHORT>(text.size() * 2));
  std::memcpy(path->Buffer, text.data(), text.size() * 2);
  path->Length = static_cast<USHORT>(text.size() * 2);
  ASSERT_EQ(SecondaryToMergedViewPath(&path.Get()), STATUS_SUCCESS);
  EXPECT_EQ(ToU16(path.Get()), longMerged + u"\\sub\\f.txt");
  EXPECT_GE(path->MaximumLength, path->Length);

  // The new buffer cannot be had (the third allocation, after the two root
  // copies): the path stays as it was.
  Path other(u"\\Device\\HarddiskVolume3\\S\\x");
  OwnedString copy = OwnedString::CopyOf(NonPagedPool, other.string, other.string.MaximumLength);
  sim::faults::Clear();
  sim::faults::FailNth(sim::faults::Site::PoolAllocation, 3, sim::harness::PoolTag("Tavo"));
  EXPECT_EQ(SecondaryToMergedViewPath(&copy.Get()), STATUS_INSUFFICIENT_RESOURCES);
  sim::faults::Clear();
  EXPECT_EQ(ToU16(copy.Get()), u"\\Device\\HarddiskVolume3\\S\\x");  // unchanged
}

TEST_F(PathClassificationTest, DesktopIniAndTrailingDot) {
  struct Case {
    std::u16string path;
    bool desktopIni;
    std::u16string after;
  };
  const Case cases[] = {
      {u"\\Device\\V\\x\\DeskTop.Ini", true, u"\\Device\\V\\x\\DeskTop.Ini"},
      {u"\\Device\\V\\x\\desktop.ini.bak", false, u"\\Device\\V\\x\\desktop.ini.bak"},
      {u"\\Device\\V\\Desktop.ini\\y", false, u"\\Device\\V\\Desktop.ini\\y"},
      {u"\\Device\\V\\x\\.", false, u"\\Device\\V\\x"},
      {u"\\Device\\V\\x\\", false, u"\\Device\\V\\x\\"},
      {u"desktop.ini", false, u"desktop.ini"},
  };
  for (const Case& c : cases) {
    Path path(c.path);
    EXPECT_EQ(IsDesktopIniName(path.string.Buffer, &path.string.Length) != FALSE, c.desktopIni)
        << ToUtf8(c.path);
    EXPECT_EQ(ToU16(path.string), c.after) << ToUtf8(c.path);
  }
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
