// One-way file-change notifications.
#include "channel/notifications.h"
#include "driver_fixture.h"
#include "harness/debug_log.h"

namespace tavo::testing {
namespace {

constexpr char kSendError[] = "TavoDriver: Error In Sending File Change Notification";

class NotificationTest : public DriverTest {};

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
