// One-way file-change notifications.
#include "channel/notifications.h"
#include "driver_fixture.h"
#include "harness/debug_log.h"

namespace tavo::testing {
namespace {

constexpr char kSendError[] = "TavoDriver: Error In Sending File Change Notification";

class NotificationTest : public DriverTest {};

TEST_F(NotificationTest, ReachesTheClientWithCookieZero) {
  ConnectClient();
  const std::uint8_t payload[] = {10, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 'a', 0, 0, 0};
  EXPECT_EQ(SendFileChangeNotification(payload, sizeof(payload), 10), STATUS_SUCCESS);
  auto notifications = client_->Notifications();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_EQ(notifications[0].type, 10u);
  EXPECT_EQ(notifications[0].cookie, 0u);
  EXPECT_EQ(notifications[0].payload, Bytes(payload, sizeof(payload)));
  EXPECT_TRUE(sim::harness::TakeDebugLines().empty());
}

// Without a client the send fails and is reported; a refusing client is
// reported too but the send itself succeeded.
TEST_F(NotificationTest, FailuresArePrintedAndOnlySendFailuresReturned) {
  const std::uint8_t payload[4] = {};
  sim::harness::TakeDebugLines();
  EXPECT_EQ(SendFileChangeNotification(payload, sizeof(payload), 5), STATUS_PORT_DISCONNECTED);
  EXPECT_EQ(sim::harness::TakeDebugLines(), std::vector<std::string>{kSendError});

  ConnectClient();
  client_->SetNotificationAck(static_cast<std::int32_t>(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(SendFileChangeNotification(payload, sizeof(payload), 4), STATUS_SUCCESS);
  EXPECT_EQ(sim::harness::TakeDebugLines(), std::vector<std::string>{kSendError});
}

}  // namespace
}  // namespace tavo::testing
