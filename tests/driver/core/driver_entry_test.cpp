// Start-up settings from the registry, and what unload of an idle driver
// gives back.
#include "core/globals.h"
#include "core/hardening.h"
#include "driver_fixture.h"
#include "harness/debug_log.h"
#include "harness/ports.h"
#include "harness/registry.h"
#include "harness/threads.h"

namespace tavo::testing {
namespace {

constexpr char kKey[] = "\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo";

class DriverEntryTest : public DriverTest {
 protected:
  DriverEntryTest() { loadOnSetUp_ = false; }
};

// No key, no value, 0: the flag stays clear; any non-zero DWORD sets it.
TEST_F(DriverEntryTest, ListSubRootLevelFromTheRegistry) {
  struct Case {
    bool key;
    bool value;
    std::uint32_t data;
    LONG flag;
  };
  const Case cases[] = {{false, false, 0, 0},        {true, false, 0, 0},
                        {true, true, 0, 0},          {true, true, 1, 1},
                        {true, true, 7, 1},          {true, true, 0x80000000u, 1},
                        {true, true, 0xFFFFFFFFu, 1}};
  for (const Case& c : cases) {
    sim::harness::DeleteRegistryKey(kKey);
    if (c.key) sim::harness::CreateRegistryKey(kKey);
    if (c.value) sim::harness::SetRegistryDword(kKey, "ListSubRootLevel", c.data);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Globals.ListSubRootLevelFlag, c.flag) << c.key << c.value << c.data;
    ASSERT_EQ(Unload(false), STATUS_SUCCESS);
  }
}

// The hardening values are DWORDs; missing, zero or of another type they
// leave the defaults (no time-out, ports open to every user).
TEST_F(DriverEntryTest, HardeningSettingsFromTheRegistry) {
  struct Case {
    const char* name;
    bool asString;
    std::uint32_t data;
    LONGLONG timeout;
    BOOLEAN administratorsOnly;
  };
  const Case cases[] = {{nullptr, false, 0, 0, FALSE},
                        {"RequestTimeoutSeconds", false, 30, 300'000'000, FALSE},
                        {"RequestTimeoutSeconds", false, 0xFFFFFFFFu, 0xFFFFFFFFll * 10'000'000, FALSE},
                        {"RequestTimeoutSeconds", true, 30, 0, FALSE},
                        {"RestrictPortsToAdministrators", false, 2, 0, TRUE},
                        {"RestrictPortsToAdministrators", false, 0, 0, FALSE},
                        {"RestrictPortsToAdministrators", true, 1, 0, FALSE}};
  for (const Case& c : cases) {
    sim::harness::DeleteRegistryKey(kKey);
    if (c.name != nullptr && c.asString) {
      sim::harness::SetRegistryString(kKey, c.name, std::to_string(c.data));
    } else if (c.name != nullptr) {
      sim::harness::SetRegistryDword(kKey, c.name, c.data);
    }
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Hardening.RequestTimeout, c.timeout) << (c.name ? c.name : "none") << c.asString;
    EXPECT_EQ(Hardening.AdministratorsOnlyPorts, c.administratorsOnly)
        << (c.name ? c.name : "none") << c.asString;
    ASSERT_EQ(Unload(false), STATUS_SUCCESS);
  }
}

TEST_F(DriverEntryTest, UnloadReleasesEverything) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  ConnectAndConfigure();
  ASSERT_EQ(client_->Channel().SendBlockList({{u"a.exe", u".pdf"}}).status, 0u);
  ASSERT_EQ(client_->Channel().SendAllowList({{u"b.exe", u""}}).status, 0u);
  sim::harness::TakeDebugLines();
  EXPECT_EQ(Unload(false), STATUS_SUCCESS);
  // Detaching the volume asks the instance whether it may go.
  EXPECT_EQ(sim::harness::TakeDebugLines(),
            std::vector<std::string>{"TavoClientMergedViewInstanceQueryTeardown: OK to teardown"});
  EXPECT_TRUE(sim::harness::ports::OpenServerPorts().empty());
  EXPECT_TRUE(sim::harness::WaitForSystemThreads());
  EXPECT_EQ(Globals.FilterHandle, nullptr);
  EXPECT_EQ(Globals.AttachedVolume, nullptr);
  // The fixture's leak check covers the roots, lists and tables.
}

}  // namespace
}  // namespace tavo::testing
