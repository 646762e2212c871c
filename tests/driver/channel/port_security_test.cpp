// Who may use the driver's ports: every local user by default, SYSTEM and
// administrators only under "RestrictPortsToAdministrators"; and what a
// process that connects before the agent gets.
#include <fltUser.h>

#include "core/globals.h"
#include "driver_fixture.h"
#include "harness/processes.h"
#include "harness/registry.h"
#include "harness/strings.h"
#include "port_messages.h"

namespace tavo::testing {
namespace {

using sim::harness::Account;

constexpr char kKey[] = "\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo";

class PortSecurityTest : public DriverTest {
 protected:
  PortSecurityTest() { loadOnSetUp_ = false; }

  void LoadWith(bool restricted) {
    sim::harness::DeleteRegistryKey(kKey);
    if (restricted) sim::harness::SetRegistryDword(kKey, "RestrictPortsToAdministrators", 1);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
  }
  static std::uint32_t ProcessOf(Account account, const char* image) {
    if (account == Account::LocalSystem) return sim::harness::kSystemProcessId;
    const std::uint32_t process = sim::harness::CreateProcess(image);
    sim::harness::SetProcessAccount(process, account);
    return process;
  }
};

TEST_F(PortSecurityTest, RestrictionAdmitsOnlySystemAndAdministratorsOnEveryPort) {
  struct Case {
    bool restricted;
    Account caller;
    HRESULT expected;
  };
  const Case cases[] = {{false, Account::StandardUser, S_OK},
                        {true, Account::StandardUser, E_ACCESSDENIED},
                        {true, Account::Administrator, S_OK},
                        {true, Account::LocalSystem, S_OK}};
  const protocol::char16* ports[] = {protocol::kRequestPortName, protocol::kFileChangePortName,
                           protocol::kResponsePortName, protocol::kInstallerPortName};
  for (const Case& c : cases) {
    LoadWith(c.restricted);
    const std::uint32_t caller =
        ProcessOf(c.caller, "\\Device\\HarddiskVolume3\\Program Files\\Tavo\\agent.exe");
    sim::harness::RunAs(caller, [&] {
      for (const protocol::char16* port : ports) {
        HANDLE handle = nullptr;
        EXPECT_EQ(FilterConnectCommunicationPort(port, 0, nullptr, 0, nullptr, &handle), c.expected)
            << c.restricted << " " << static_cast<int>(c.caller) << " "
            << sim::harness::ToUtf8(sim::harness::ToU16(port));
        if (SUCCEEDED(c.expected)) CloseHandle(handle);
      }
    });
    ASSERT_EQ(Unload(false), STATUS_SUCCESS);
  }
}

// Each port takes one client. By default a process of any user that
// connects before the agent holds the driver's control surface and the
// agent is shut out; under the restriction an unprivileged intruder is
// refused and the agent, run elevated, gets every port.
TEST_F(PortSecurityTest, IntruderConnectingFirstHoldsThePortsUnlessRestricted) {
  for (bool restricted : {false, true}) {
    LoadWith(restricted);
    const std::uint32_t intruderProcess =
        ProcessOf(Account::StandardUser, "\\Device\\HarddiskVolume3\\Users\\eve\\tool.exe");
    const std::uint32_t agentProcess = ProcessOf(
        Account::Administrator, "\\Device\\HarddiskVolume3\\Program Files\\Tavo\\agent.exe");
    client::DriverChannel intruder;
    const HRESULT intruderConnect =
        sim::harness::RunAs(intruderProcess, [&] { return intruder.Connect(); });
    client::DriverChannel agent;
    const HRESULT agentConnect = sim::harness::RunAs(agentProcess, [&] { return agent.Connect(); });
    if (!restricted) {
      EXPECT_EQ(intruderConnect, S_OK);
      EXPECT_EQ(agentConnect, HRESULT_FROM_WIN32(ERROR_CONNECTION_COUNT_LIMIT));
      // The intruder configures the view as if it were the agent.
      const auto configured = sim::harness::RunAs(intruderProcess, [&] {
        return intruder.Configure(1, u"\\Device\\HarddiskVolume3\\Users\\eve\\view",
                                  u"\\Device\\HarddiskVolume3\\Users\\eve\\data", u"");
      });
      EXPECT_EQ(configured.hresult, S_OK);
      EXPECT_EQ(sim::harness::ToU16(Globals.MergedViewRoot), u"\\Device\\HarddiskVolume3\\Users\\eve\\view");
    } else {
      EXPECT_EQ(intruderConnect, E_ACCESSDENIED);
      EXPECT_EQ(agentConnect, S_OK);
    }
    sim::harness::RunAs(intruderProcess, [&] { intruder.Disconnect(); });
    sim::harness::RunAs(agentProcess, [&] { agent.Disconnect(); });
    ASSERT_EQ(Unload(false), STATUS_SUCCESS);
  }
}

}  // namespace
}  // namespace tavo::testing
