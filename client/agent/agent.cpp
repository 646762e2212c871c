#include "agent.h"

#include <cstdio>
#include <cstring>

#include "request_payloads.h"
#include "text.h"

namespace tavo::agent {
namespace {

using namespace tavo::protocol;

std::string Hex(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string SummariseAnswer(const DecodedRequest& request, const AgentAnswer& answer) {
  std::string text = "status " + Hex(answer.status);
  if (request.type == kRequestItemQuery && request.queryKind == kQueryLongName &&
      answer.status >= 0 && answer.data.size() >= 2) {
    std::u16string name(answer.data.size() / 2 - 1, u'\0');
    std::memcpy(name.data(), answer.data.data(), name.size() * 2);
    return text + ", " + ToUtf8(name);
  }
  if (request.type == kRequestItemQuery) {
    return answer.status >= 0
               ? text + ", item information (" + std::to_string(answer.data.size()) + " bytes)"
               : text + ", no such item";
  }
  if (request.type == kRequestDirectoryListing && request.purpose == kDirectoryQueryList) {
    return text + ", " + std::to_string(answer.data.size()) + " bytes of entries";
  }
  if (answer.data.size() == 1) return text + ", answer " + std::to_string(answer.data[0]);
  if (answer.data.size() == 4) {
    std::uint32_t value;
    std::memcpy(&value, answer.data.data(), 4);
    return text + ", answer " + std::to_string(value);
  }
  return text;
}

}  // namespace

Agent::Agent(AgentConfig config, ServerStore& server, LocalFiles& local)
    : config_(std::move(config)),
      handler_(
          ViewPaths(config_.roots), server, local,
          [this](const std::vector<std::u16string>& names) { return GenerateShortNames(names); },
          state_, config_.stagingFolder),
      sync_(ViewPaths(config_.roots), server, local, handler_.shortNames(), state_) {
  state_.trace = config_.trace;
  if (config_.startThread) channel_.SetThreadStarter(config_.startThread);
}

Agent::~Agent() {
  Stop();
}

std::thread Agent::StartThread(std::function<void()> body) {
  return config_.startThread ? config_.startThread(std::move(body)) : std::thread(std::move(body));
}

// Start and Stop run on a thread of the agent's own (see startThread): port
// handles belong to the process that opened them.
HRESULT Agent::Start() {
  HRESULT result = E_INVALIDARG;  // replaced by the start's own result
  StartThread([&] { result = StartOnAgentThread(); }).join();
  return result;
}

void Agent::Stop() {
  StartThread([&] { StopOnAgentThread(); }).join();
}

HRESULT Agent::StartOnAgentThread() {
  if (running_) return S_OK;
  if (!handler_.PrepareStaging()) return E_INVALIDARG;
  handler_.RecoverReplacedItems();
  sync_.UseLedgerFile(handler_.staging() + u"\\sync-ledger.txt");
  {
    std::lock_guard guard(lock_);
    stopping_ = false;
    paused_ = false;
  }
  for (unsigned i = 0; i < std::max(1u, config_.workerThreads); ++i) {
    threads_.push_back(StartThread([this] { WorkerLoop(); }));
  }
  threads_.push_back(StartThread([this] { NotificationLoop(); }));
  if (config_.scanInterval.count() > 0) threads_.push_back(StartThread([this] { ScanLoop(); }));
  if (config_.healthInterval.count() > 0)
    threads_.push_back(StartThread([this] { WatchLoop(); }));
  HRESULT result;
  {
    std::lock_guard lifecycle(lifecycleLock_);
    result = ConnectAndConfigure();
  }
  running_ = true;
  if (FAILED(result)) {
    StopOnAgentThread();
    return result;
  }
  state_.Trace("agent: connected; view " + ToUtf8(config_.roots.mergedViewRoot) +
               ", local copies in " + ToUtf8(config_.roots.backendRoot));
  return S_OK;
}

HRESULT Agent::ConnectAndConfigure() {
  HRESULT result = channel_.Connect();
  if (FAILED(result)) {
    state_.Trace("agent: cannot connect to the driver's ports (" + Hex(result) + ")");
    return result;
  }
  channel_.StartPump([this](const client::DriverMessage& m) { return Acknowledge(m); },
                     [this](client::DriverMessage m) { Enqueue(std::move(m)); },
                     [this](client::DriverMessage m) { EnqueueNotification(std::move(m)); },
                     [this](const std::string& error) { state_.Trace("agent: " + error); });
  const ViewRoots& roots = config_.roots;
  client::CommandResult configured = channel_.Configure(config_.sessionId, roots.mergedViewRoot,
                                                        roots.backendRoot, roots.secondaryViewRoot);
  result = configured.hresult;
  if (SUCCEEDED(result)) result = channel_.SendBlockList(config_.blockList).hresult;
  if (SUCCEEDED(result) && config_.allowList)
    result = channel_.SendAllowList(*config_.allowList).hresult;
  if (FAILED(result))
    state_.Trace("agent: the driver refused the configuration (" + Hex(result) + ")");
  return result;
}

bool Agent::CheckConnection() {
  bool connected = false;
  StartThread([&] { connected = CheckConnectionOnAgentThread(); }).join();
  return connected;
}

bool Agent::CheckConnectionOnAgentThread() {
  std::lock_guard lifecycle(lifecycleLock_);
  {
    std::lock_guard guard(lock_);
    if (stopping_ || !running_) return false;
  }
  if (SUCCEEDED(channel_.NoOperation().hresult)) return true;
  state_.Trace("agent: the driver does not answer (restarted or unloaded); reconnecting");
  {
    // The requests of the old connection cannot be answered to the new one.
    std::unique_lock guard(lock_);
    paused_ = true;
    changed_.wait(guard, [&] { return busy_ == 0; });
    requests_.clear();
  }
  channel_.Disconnect();
  {
    std::lock_guard guard(lock_);
    notificationIsOwn_.clear();
    acknowledged_ = 0;
  }
  const HRESULT result = ConnectAndConfigure();
  {
    std::lock_guard guard(lock_);
    paused_ = false;
  }
  changed_.notify_all();
  if (FAILED(result)) return false;
  state_.Trace("agent: reconnected and configured");
  return true;
}

void Agent::WatchLoop() {
  std::unique_lock guard(lock_);
  while (!stopping_) {
    if (changed_.wait_for(guard, config_.healthInterval, [&] { return stopping_; })) return;
    guard.unlock();
    CheckConnectionOnAgentThread();
    guard.lock();
  }
}

void Agent::StopOnAgentThread() {
  if (!running_ && threads_.empty()) return;
  std::unique_lock lifecycle(lifecycleLock_);
  // No new messages. Every request the agent acknowledged is answered:
  // by its worker when one has it, else here with a failure, so that no
  // requester is left to the driver's clean-up. The response port stays
  // open until then.
  channel_.StopPump();
  std::deque<client::DriverMessage> unanswered;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    unanswered.swap(requests_);
    for (const DecodedNotification& notification : notifications_) sync_.Unqueued(notification);
    notifications_.clear();
    notificationIsOwn_.clear();
    acknowledged_ = 0;
  }
  changed_.notify_all();
  state_.Trace("agent: stopping; " + std::to_string(unanswered.size()) +
               " request(s) not yet taken will be failed");
  // A watch thread waiting for the lifecycle lock sees stopping_ and leaves.
  lifecycle.unlock();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
  lifecycle.lock();
  sync_.SaveLedger();
  for (const client::DriverMessage& message : unanswered) {
    channel_.Answer(message, status::kUnsuccessful, nullptr, 0);
  }
  channel_.Disconnect();
  running_ = false;
}

// Runs on a pump thread before the acknowledgement: a message that does not
// decode is refused; a notification is classified now, while the change it
// reports may still be the agent's own work in progress.
std::int32_t Agent::Acknowledge(const client::DriverMessage& message) {
  if (message.cookie != 0) {
    ++state_.counters.requests;
    const std::int32_t verdict = handler_.Check(message.type, message.payload);
    if (verdict < 0) {
      ++state_.counters.refused;
      state_.Trace("agent: refused a malformed request of type " + std::to_string(message.type) +
                   " (" + std::to_string(message.payload.size()) + " payload bytes)");
    } else {
      std::lock_guard guard(lock_);
      ++acknowledged_;
    }
    return verdict;
  }
  auto notification = DecodeNotification(message.type, message.payload);
  if (!notification) {
    ++state_.counters.refused;
    state_.Trace("agent: refused a malformed notification of type " + std::to_string(message.type) +
                 " (" + std::to_string(message.payload.size()) + " payload bytes)");
    return status::kInvalidParameter;
  }
  const bool own = sync_.IsOwnChange(*notification);
  std::lock_guard guard(lock_);
  notificationIsOwn_.push_back(own);
  ++acknowledged_;
  return status::kSuccess;
}

void Agent::Enqueue(client::DriverMessage message) {
  std::lock_guard guard(lock_);
  if (acknowledged_ > 0) --acknowledged_;
  changed_.notify_all();
  if (stopping_) return;
  requests_.push_back(std::move(message));
  changed_.notify_all();
}

void Agent::EnqueueNotification(client::DriverMessage message) {
  auto notification = DecodeNotification(message.type, message.payload);
  std::lock_guard guard(lock_);
  if (acknowledged_ > 0) --acknowledged_;
  changed_.notify_all();
  bool own = false;
  if (!notificationIsOwn_.empty()) {
    own = notificationIsOwn_.front();
    notificationIsOwn_.pop_front();
  }
  if (!notification || stopping_) return;
  ++state_.counters.notifications;
  if (own) {
    ++state_.counters.ownNotifications;
    state_.Trace("driver -> agent: notification: " + DescribeNotification(*notification) +
                 " (the agent's own change)");
    return;
  }
  sync_.Queued(*notification);
  notifications_.push_back(std::move(*notification));
  changed_.notify_all();
}

void Agent::WorkerLoop() {
  for (;;) {
    client::DriverMessage message;
    {
      std::unique_lock guard(lock_);
      changed_.wait(guard, [&] { return stopping_ || (!paused_ && !requests_.empty()); });
      if (stopping_) return;
      message = std::move(requests_.front());
      requests_.pop_front();
      ++busy_;
    }
    auto request = DecodeRequest(message.type, message.payload);
    if (request) {
      state_.Trace("driver -> agent: request #" + std::to_string(message.cookie) + ": " +
                   DescribeRequest(*request));
      AgentAnswer answer = handler_.Handle(*request);
      state_.Trace("agent -> driver: answer #" + std::to_string(message.cookie) + ": " +
                   SummariseAnswer(*request, answer));
      channel_.Answer(message, answer.status, answer.data.data(),
                      static_cast<std::uint32_t>(answer.data.size()));
    }
    std::lock_guard guard(lock_);
    --busy_;
    changed_.notify_all();
  }
}

void Agent::NotificationLoop() {
  for (;;) {
    DecodedNotification notification;
    {
      std::unique_lock guard(lock_);
      changed_.wait(guard, [&] { return stopping_ || (!paused_ && !notifications_.empty()); });
      if (stopping_) return;
      notification = std::move(notifications_.front());
      notifications_.pop_front();
      ++busy_;
    }
    state_.Trace("driver -> agent: notification: " + DescribeNotification(notification));
    sync_.Apply(notification);
    std::lock_guard guard(lock_);
    --busy_;
    changed_.notify_all();
  }
}

void Agent::ScanLoop() {
  std::unique_lock guard(lock_);
  while (!stopping_) {
    if (changed_.wait_for(guard, config_.scanInterval, [&] { return stopping_; })) return;
    guard.unlock();
    sync_.SyncNow();
    guard.lock();
  }
}

std::size_t Agent::SyncNow() {
  return sync_.SyncNow();
}

bool Agent::WaitIdle(std::chrono::milliseconds limit) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, limit, [&] {
    return stopping_ ||
           (acknowledged_ == 0 && requests_.empty() && notifications_.empty() && busy_ == 0);
  });
}

std::optional<std::vector<std::u16string>> Agent::GenerateShortNames(
    const std::vector<std::u16string>& names) {
  std::uint32_t capacity = 16;
  capacity += static_cast<std::uint32_t>(names.size()) * 26;  // 12 characters and a separator each
  std::vector<std::u16string> shortNames;
  client::CommandResult result = channel_.PopulateShortNames(names, capacity, &shortNames);
  if (FAILED(result.hresult) || result.status != 0 || shortNames.size() != names.size()) {
    state_.Trace("agent: the driver gave no short names (" + Hex(result.hresult) + ")");
    return std::nullopt;
  }
  return shortNames;
}

}  // namespace tavo::agent
