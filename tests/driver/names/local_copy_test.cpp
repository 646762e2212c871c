// The test for a local copy on disk, and the name provider's component
// normalisation.
#include "core/callbacks.h"
#include "core/globals.h"
#include "create/name_helpers.h"
#include "names_fixture.h"

namespace tavo::testing {
namespace {

using sim::harness::ToUtf8;

const std::u16string kBackend = kBackendRoot;

class ProbeBackendFileTest : public NamesTest {
 protected:
  void SetUp() override {
    NamesTest::SetUp();
    const std::u16string folder = u"\\Users\\ann\\AppData\\Local\\Tavo\\cache\\dir";
    ASSERT_EQ(volume_->Populate({DirSpec(folder), FileSpecOf(folder + u"\\f.txt")}),
              STATUS_SUCCESS);
    UNICODE_STRING device = sim::harness::MakeUnicodeString(volumeName_);
    ASSERT_EQ(FltGetVolumeFromName(Globals.FilterHandle, &device, &volume), STATUS_SUCCESS);
    ASSERT_EQ(FltGetVolumeInstanceFromName(Globals.FilterHandle, volume, nullptr, &instance),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    if (instance != nullptr) FltObjectDereference(instance);
    if (volume != nullptr) FltObjectDereference(volume);
    NamesTest::TearDown();
  }

  std::u16string volumeName_ = kVolumeDevice;
  PFLT_VOLUME volume = nullptr;
  PFLT_INSTANCE instance = nullptr;
};

// The name provider's component normalisation: for names the view does
// not own, the component as the directory on disk spells it; in the view,
// the component as given when the client knows the item, into a buffer
// that must hold all of it. Both the plain and the Ex callback answer alike.
TEST_F(ProbeBackendFileTest, ComponentsAreNormalizedFromTheDirectoryOnDisk) {
  const std::u16string view = kMergedViewRoot;
  SetItemInfo(view + u"\\report.docx", ItemInfoAnswer(FILE_ATTRIBUTE_ARCHIVE, 12));
  // Under a short-named folder the client is asked about the long form.
  SetLongName(view + u"\\PROGRA~1", view + u"\\Program Files");
  SetLongName(view + u"\\Program Files\\plan.txt", view + u"\\Program Files\\plan.txt");
  SetItemInfo(view + u"\\Program Files\\plan.txt", ItemInfoAnswer(FILE_ATTRIBUTE_ARCHIVE, 4));
  constexpr ULONG kHeader = FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
  const ULONG exact = kHeader + 22;  // "report.docx"
  struct Case {
    std::u16string parent, component;
    FLT_NORMALIZE_NAME_FLAGS flags;
    NTSTATUS status;
    std::u16string normalized;
    ULONG bufferBytes = 256;
  } cases[] = {
      {view + u"\\", u"report.docx", 0, STATUS_SUCCESS, u"report.docx", exact},
      {view + u"\\", u"report.docx", 0, STATUS_BUFFER_TOO_SMALL, u"", exact - 2},
      {view + u"\\", u"report.docx", 0, STATUS_BUFFER_TOO_SMALL, u"", kHeader - 1},
      {view + u"\\", u"unknown.docx", 0, STATUS_NO_SUCH_FILE, u""},
      {view + u"\\PROGRA~1\\", u"plan.txt", 0, STATUS_SUCCESS, u"plan.txt"},
      {view + u"\\PROGRA~1\\", u"other.txt", 0, STATUS_NO_SUCH_FILE, u""},
      {kBackend + u"\\dir", u"F.TXT", 0, STATUS_SUCCESS, u"f.txt"},
      {kBackend + u"\\DIR", u"f.txt", 0, STATUS_SUCCESS, u"f.txt"},
      // Windows keeps object names case-insensitive by default, so even a
      // case-sensitive request finds the parent in another case.
      {kBackend + u"\\DIR", u"f.txt", FLTFL_NORMALIZE_NAME_CASE_SENSITIVE, STATUS_SUCCESS,
       u"f.txt"},
      {kBackend + u"\\dir", u"missing.txt", 0, STATUS_NO_SUCH_FILE, u""},
      {kBackend + u"\\nowhere", u"f.txt", 0, STATUS_OBJECT_NAME_NOT_FOUND, u""},
  };
  for (const Case& c : cases) {
    for (bool ex : {false, true}) {
      TestPath parent(c.parent);
      TestPath component(c.component);
      alignas(8) std::uint8_t buffer[256] = {};
      auto* names = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer);
      PVOID context = nullptr;
      const NTSTATUS status =
          ex ? FilterNormalizeNameComponentEx(instance, nullptr, &parent.string, 46,
                                              &component.string, names, c.bufferBytes, c.flags,
                                              &context)
             : FilterNormalizeNameComponent(instance, &parent.string, 46, &component.string, names,
                                            c.bufferBytes, c.flags, &context);
      EXPECT_EQ(status, c.status) << ToUtf8(c.parent) << " " << ToUtf8(c.component) << " " << ex;
      if (NT_SUCCESS(status)) {
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(names->FileName),
                                 names->FileNameLength / 2),
                  c.normalized);
      }
    }
  }

  // The local copy of an item: a file always, a folder only when folders count.
  TestPath file(kBackend + u"\\dir\\f.txt"), folder(kBackend + u"\\dir");
  EXPECT_TRUE(ProbeBackendFile(&file.string, instance, 0));
  EXPECT_FALSE(ProbeBackendFile(&folder.string, instance, 0));
  EXPECT_TRUE(ProbeBackendFile(&folder.string, instance, 1));
}

}  // namespace
}  // namespace tavo::testing
