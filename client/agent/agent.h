// The reference agent: connects to the driver's four ports, sends the
// configuration and its process list, acknowledges every message at once
// and answers requests from a pool of worker threads (in whatever order
// they finish), carries the driver's change notifications over to the
// server, and uploads changed local copies.
//
// Its two seams to the platform are LocalFiles (the local disk through the
// native NT API) and the port library (DriverChannel on fltUser.h); both
// build in the simulation and on Windows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "agent_state.h"
#include "change_sync.h"
#include "driver_channel.h"
#include "request_handler.h"

namespace tavo::agent {

struct AgentConfig {
  ViewRoots roots;
  // Downloads are written here first ("" for RequestHandler::DefaultStaging).
  std::u16string stagingFolder;
  std::uint32_t sessionId = 1;
  std::vector<client::ProcessListItem> blockList;
  // Sent after the block list when present: the driver then decides
  // downloads by the allow list.
  std::optional<std::vector<client::ProcessListItem>> allowList;
  unsigned workerThreads = 4;
  // The upload scan's period; zero scans only on SyncNow.
  std::chrono::milliseconds scanInterval{0};
  // How often the agent checks that the driver still hears it (zero: only
  // on CheckConnection).
  std::chrono::milliseconds healthInterval{0};
  // Starts the agent's threads (default: std::thread), e.g. as its process.
  client::DriverChannel::ThreadStarter startThread;
  TraceSink trace;
};

class Agent {
 public:
  Agent(AgentConfig config, ServerStore& server, LocalFiles& local);
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Connects, configures the driver and starts answering. The connection
  // is made on a thread started by config.startThread, so it belongs to
  // the agent's process whatever the caller's.
  HRESULT Start();
  // Disconnects and stops every thread; requests not yet answered are
  // answered with a failure first.
  void Stop();
  bool Running() const { return running_; }

  // Asks the driver for nothing; when it does not answer (it was restarted
  // or unloaded), drops the requests of the old connection, reconnects and
  // sends the configuration again. True when connected afterwards.
  bool CheckConnection();

  // Runs the upload scan now; returns how many copies were uploaded.
  std::size_t SyncNow();
  // Waits until every received request is answered and every notification
  // applied (or `limit` passes).
  bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(10));

  const AgentCounters& counters() const { return state_.counters; }
  RequestHandler& handler() { return handler_; }
  client::DriverChannel& channel() { return channel_; }

 private:
  HRESULT StartOnAgentThread();
  void StopOnAgentThread();
  HRESULT ConnectAndConfigure();
  bool CheckConnectionOnAgentThread();
  void WatchLoop();
  std::int32_t Acknowledge(const client::DriverMessage& message);
  void Enqueue(client::DriverMessage message);
  void EnqueueNotification(client::DriverMessage message);
  void WorkerLoop();
  void NotificationLoop();
  void ScanLoop();
  std::thread StartThread(std::function<void()> body);
  std::optional<std::vector<std::u16string>> GenerateShortNames(
      const std::vector<std::u16string>& names);

  AgentConfig config_;
  AgentState state_;
  client::DriverChannel channel_;
  RequestHandler handler_;
  ChangeSync sync_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<client::DriverMessage> requests_;
  std::deque<DecodedNotification> notifications_;
  std::deque<bool> notificationIsOwn_;  // decided at acknowledgement, in arrival order
  std::size_t acknowledged_ = 0;        // accepted, not yet handed to a queue
  std::size_t busy_ = 0;
  bool stopping_ = false;
  bool paused_ = false;      // reconnecting: workers take nothing new
  std::mutex lifecycleLock_;  // connects, reconnects and stops one at a time
  std::atomic<bool> running_{false};
  std::vector<std::thread> threads_;
};

}  // namespace tavo::agent
