// Start-up settings from the registry.
#include <string>

#include "core/globals.h"
#include "core/hardening.h"
#include "driver_fixture.h"
#include "harness/registry.h"

namespace tavo::testing {
namespace {

constexpr char kKey[] = "\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo";

class DriverEntryTest : public DriverTest {
 protected:
  DriverEntryTest() { loadOnSetUp_ = false; }
};

// No key, no value, 0 or (for the hardening values) a value of another
// type leave the defaults: ListSubRootLevel clear, no time-out, ports open
// to every user. Any other DWORD sets its setting, and only its own.
TEST_F(DriverEntryTest, SettingsFromTheRegistry) {
  struct Case {
    bool key;
    const char* name;
    bool asString;
    std::uint32_t data;
    LONG listSubRootLevel;
    LONGLONG timeout;
    BOOLEAN administratorsOnly;
  };
  const Case cases[] = {
      {false, nullptr, false, 0, 0, 0, FALSE},
      {true, nullptr, false, 0, 0, 0, FALSE},
      {true, "ListSubRootLevel", false, 0, 0, 0, FALSE},
      {true, "ListSubRootLevel", false, 1, 1, 0, FALSE},
      {true, "ListSubRootLevel", false, 7, 1, 0, FALSE},
      {true, "ListSubRootLevel", false, 0x80000000u, 1, 0, FALSE},
      {true, "ListSubRootLevel", false, 0xFFFFFFFFu, 1, 0, FALSE},
      {true, "RequestTimeoutSeconds", false, 30, 0, 300'000'000, FALSE},
      {true, "RequestTimeoutSeconds", false, 0xFFFFFFFFu, 0, 0xFFFFFFFFll * 10'000'000, FALSE},
      {true, "RequestTimeoutSeconds", true, 30, 0, 0, FALSE},
      {true, "RestrictPortsToAdministrators", false, 2, 0, 0, TRUE},
      {true, "RestrictPortsToAdministrators", false, 0, 0, 0, FALSE},
      {true, "RestrictPortsToAdministrators", true, 1, 0, 0, FALSE},
  };
  for (const Case& c : cases) {
    sim::harness::DeleteRegistryKey(kKey);
    if (c.key) sim::harness::CreateRegistryKey(kKey);
    if (c.name != nullptr && c.asString) {
      sim::harness::SetRegistryString(kKey, c.name, std::to_string(c.data));
    } else if (c.name != nullptr) {
      sim::harness::SetRegistryDword(kKey, c.name, c.data);
    }
    const std::string what = std::string(c.name ? c.name : "none") + " " +
                             std::to_string(c.key) + std::to_string(c.asString) + " " +
                             std::to_string(c.data);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Globals.ListSubRootLevelFlag, c.listSubRootLevel) << what;
    EXPECT_EQ(Hardening.RequestTimeout, c.timeout) << what;
    EXPECT_EQ(Hardening.AdministratorsOnlyPorts, c.administratorsOnly) << what;
    ASSERT_EQ(Unload(false), STATUS_SUCCESS);
  }
}

}  // namespace
}  // namespace tavo::testing
