// A client for driver tests: connects to the driver's four ports, records
// every request and notification it receives, and answers by rules the test
// supplies (at once, held for the test to answer later, refused in the
// acknowledgement, or never).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "driver_channel.h"

namespace tavo::testing {

using client::DriverMessage;

struct ScriptedAnswer {
  enum class When { Now, Held, Never };
  std::int32_t ackStatus = 0;  // negative: refused in the acknowledgement
  When when = When::Now;
  std::int32_t status = 0;  // the answer's Status (When::Now)
  std::vector<std::uint8_t> data;

  static ScriptedAnswer Now(std::int32_t status, std::vector<std::uint8_t> data = {}) {
    return {0, When::Now, status, std::move(data)};
  }
  static ScriptedAnswer Held() { return {0, When::Held, 0, {}}; }
  static ScriptedAnswer Never() { return {0, When::Never, 0, {}}; }
  static ScriptedAnswer Refused(std::int32_t ackStatus) { return {ackStatus, When::Never, 0, {}}; }
};

class ScriptedClient {
 public:
  using Rule = std::function<ScriptedAnswer(const DriverMessage&)>;

  ScriptedClient() = default;
  ~ScriptedClient() { Disconnect(); }

  // Connects to the four ports and starts the pump.
  HRESULT Connect();
  void Disconnect() { channel_.Disconnect(); }

  // The rule for requests of one type; requests without a rule are held.
  void OnRequest(std::uint32_t type, Rule rule);
  void OnRequest(std::uint32_t type, ScriptedAnswer answer) {
    OnRequest(type, [answer](const DriverMessage&) { return answer; });
  }
  // The acknowledgement status for notifications (default 0).
  void SetNotificationAck(std::int32_t status);

  std::vector<DriverMessage> Requests() const;
  std::vector<DriverMessage> Notifications() const;
  // Requests held for the test, oldest first; taking them clears the list.
  std::vector<DriverMessage> TakeHeld();

  bool WaitForRequests(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  bool WaitForHeld(std::size_t count,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  bool WaitForNotifications(std::size_t count,
                            std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  client::DriverChannel& Channel() { return channel_; }
  // Answers a request (one held for the test) as `answer` says.
  void Answer(const DriverMessage& request, const ScriptedAnswer& answer) {
    channel_.Answer(request, answer.status, answer.data.data(),
                    static_cast<std::uint32_t>(answer.data.size()));
  }
  std::vector<std::string> Errors() const;

 private:
  std::int32_t Acknowledge(const DriverMessage& message);

  client::DriverChannel channel_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::map<std::uint32_t, Rule> rules_;
  std::map<std::uint64_t, ScriptedAnswer> decided_;  // by cookie, between ack and delivery
  std::int32_t notificationAck_ = 0;
  std::vector<DriverMessage> requests_;
  std::vector<DriverMessage> notifications_;
  std::vector<DriverMessage> held_;
  std::vector<std::string> errors_;
};

}  // namespace tavo::testing
