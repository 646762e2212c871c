#include "scripted_client.h"

namespace tavo::testing {

HRESULT ScriptedClient::Connect() {
  const HRESULT result = channel_.Connect();
  if (FAILED(result)) return result;
  channel_.StartPump([this](const DriverMessage& message) { return Acknowledge(message); },
                     [this](DriverMessage request) {
                       ScriptedAnswer answer;
                       {
                         std::lock_guard guard(lock_);
                         auto it = decided_.find(request.cookie);
                         answer = it->second;
                         decided_.erase(it);
                         if (answer.when == ScriptedAnswer::When::Held) held_.push_back(request);
                         changed_.notify_all();
                       }
                       if (answer.when == ScriptedAnswer::When::Now) Answer(request, answer);
                     },
                     [](DriverMessage) {},
                     [this](const std::string& error) {
                       std::lock_guard guard(lock_);
                       errors_.push_back(error);
                     });
  return result;
}

// Records the message and decides its acknowledgement (and, for requests,
// how it is answered) on the pump's thread.
std::int32_t ScriptedClient::Acknowledge(const DriverMessage& message) {
  std::lock_guard guard(lock_);
  if (message.cookie == 0) {
    notifications_.push_back(message);
    changed_.notify_all();
    return notificationAck_;
  }
  requests_.push_back(message);
  auto rule = rules_.find(message.type);
  ScriptedAnswer answer = rule == rules_.end() ? ScriptedAnswer::Held() : rule->second(message);
  if (answer.ackStatus >= 0) decided_[message.cookie] = answer;
  changed_.notify_all();
  return answer.ackStatus;
}

void ScriptedClient::OnRequest(std::uint32_t type, Rule rule) {
  std::lock_guard guard(lock_);
  rules_[type] = std::move(rule);
}

void ScriptedClient::SetNotificationAck(std::int32_t status) {
  std::lock_guard guard(lock_);
  notificationAck_ = status;
}

std::vector<DriverMessage> ScriptedClient::Requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

std::vector<DriverMessage> ScriptedClient::Notifications() const {
  std::lock_guard guard(lock_);
  return notifications_;
}

std::vector<DriverMessage> ScriptedClient::TakeHeld() {
  std::lock_guard guard(lock_);
  std::vector<DriverMessage> held;
  held.swap(held_);
  return held;
}

std::vector<std::string> ScriptedClient::Errors() const {
  std::lock_guard guard(lock_);
  return errors_;
}

bool ScriptedClient::WaitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, limit, [&] { return requests_.size() >= count; });
}

bool ScriptedClient::WaitForHeld(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, limit, [&] { return held_.size() >= count; });
}

bool ScriptedClient::WaitForNotifications(std::size_t count,
                                          std::chrono::milliseconds limit) const {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, limit, [&] { return notifications_.size() >= count; });
}

}  // namespace tavo::testing
