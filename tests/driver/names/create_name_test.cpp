// The name of a create's target, taken from inside a real create (the probe
// filter's pre-create).
#include <ntapi.h>

#include "create/name_helpers.h"
#include "name_probe_filter.h"
#include "names_fixture.h"

namespace tavo::testing {
namespace {

using sim::harness::ToU16;

const std::u16string kVolume = kVolumeDevice;
const std::u16string kOpened = kVolume + u"\\work\\dir\\a.txt";

class CreateNameTest : public NamesTest {
 protected:
  void SetUp() override {
    NamesTest::SetUp();
    folder_ = CreateWorkFolder(*volume_);
  }
  void TearDown() override {
    UnloadNameProbe(probe_);
    if (folder_ != nullptr) NtClose(folder_);
    NamesTest::TearDown();
  }

  // What GetCreateFileName gives in the probe's pre-create of a.txt, opened
  // by full path or relative to its folder.
  std::u16string NameOfCreate(ProbeProvider provider, bool relative) {
    probe_ = LoadNameProbe(provider);
    std::u16string result = u"<not called>";
    SetCreateHook([&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
      OwnedString name;
      const NTSTATUS status = GetCreateFileName(data, objects, &name);
      result = NT_SUCCESS(status) ? ToU16(name.Get()) : u"<failed>";
    });
    EXPECT_EQ(
        relative ? OpenAndClose(u"a.txt", folder_) : OpenAndClose(u"\\??\\C:\\work\\dir\\a.txt"),
        STATUS_SUCCESS);
    UnloadNameProbe(probe_);
    probe_ = nullptr;
    return result;
  }

  HANDLE folder_ = nullptr;
  sim::harness::Driver* probe_ = nullptr;
};

TEST_F(CreateNameTest, OpenedNameFromEitherQuery) {
  struct Case {
    const char* what;
    ProbeProvider provider;
    bool relative;
    std::u16string name;
  };
  const Case cases[] = {
      {"first query", ProbeProvider::Answers, false, kProviderName},
      {"first query, relative create", ProbeProvider::Answers, true, kProviderName},
      {"no provider, relative create", ProbeProvider::None, true, kOpened},
      {"second query", ProbeProvider::Fails, false, kOpened},
      // The Filter Manager's name carries the volume already: nothing goes
      // in front of it.
      {"second query, relative create", ProbeProvider::Fails, true, kOpened},
  };
  for (const Case& c : cases) EXPECT_EQ(NameOfCreate(c.provider, c.relative), c.name) << c.what;
}

TEST_F(CreateNameTest, NoFileObjectAllocatesNothing) {
  FLT_RELATED_OBJECTS objects{};
  OwnedString name;
  EXPECT_EQ(GetCreateFileName(nullptr, &objects, &name), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(name.HasBuffer());
}

}  // namespace
}  // namespace tavo::testing
