// DbgPrint, DbgPrintEx and vDbgPrintEx, and the debug log they write to.
//
// Choices where the documentation is silent:
//   * one call transmits at most 512 bytes: longer text is cut to its first
//     512 bytes (of UTF-8, backing off to a character boundary) and the
//     entry is marked truncated;
//   * the debugger shows a message as a C string, so the text ends at the
//     first NUL character (e.g. one inside a %wZ string);
//   * Unicode format codes above PASSIVE_LEVEL are a verifier violation
//     (the documentation allows them only at PASSIVE_LEVEL); the message is
//     still logged.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "harness/debug_log.h"
#include "kernel/debug_format.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"
#include "nt/debug.h"
#include "nt/ntstatus.h"
#include "verifier/verifier.h"

namespace sim::kernel {
namespace {

constexpr std::size_t kMaxTransmittedBytes = 512;

struct DebugLog {
  std::mutex lock;
  std::vector<harness::DebugMessage> messages;
  bool echo = false;
};

DebugLog& Log() {
  static DebugLog log;
  return log;
}

bool EchoRequestedByEnvironment() {
  const char* value = std::getenv("TAVO_DEBUG_ECHO");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

ResetHookRegistration resetDebugLog(ResetOrder::Kernel, [] {
  DebugLog& log = Log();
  std::lock_guard guard(log.lock);
  log.messages.clear();
  log.echo = EchoRequestedByEnvironment();
});

void Record(ULONG componentId, ULONG level, const char* format, __builtin_ms_va_list args) {
  FormattedMessage formatted = FormatDebugMessage(format, args);
  if (formatted.usedUnicodeCodes && CurrentThread().irql > PASSIVE_LEVEL) {
    verifier::Report(
        verifier::Check::Irql,
        "DbgPrint with a Unicode format code above PASSIVE_LEVEL: \"" + std::string(format) + "\"");
  }

  harness::DebugMessage message;
  message.componentId = componentId;
  message.level = level;
  message.text = std::move(formatted.text);
  const std::size_t nul = message.text.find('\0');
  if (nul != std::string::npos) message.text.resize(nul);
  if (message.text.size() > kMaxTransmittedBytes) {
    std::size_t cut = kMaxTransmittedBytes;
    while (cut > 0 && (static_cast<unsigned char>(message.text[cut]) & 0xC0) == 0x80) --cut;
    message.text.resize(cut);
    message.truncated = true;
  }

  DebugLog& log = Log();
  std::lock_guard guard(log.lock);
  if (log.echo) {
    std::fprintf(stderr, "DBG[%u/%u] %s%s", componentId, level, message.text.c_str(),
                 !message.text.empty() && message.text.back() == '\n' ? "" : "\n");
  }
  log.messages.push_back(std::move(message));
}

}  // namespace
}  // namespace sim::kernel

ULONG DbgPrint(PCSTR Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  sim::kernel::Record(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, args);
  __builtin_ms_va_end(args);
  return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  sim::kernel::Record(ComponentId, Level, Format, args);
  __builtin_ms_va_end(args);
  return STATUS_SUCCESS;
}

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, __builtin_ms_va_list arglist) {
  sim::kernel::Record(ComponentId, Level, Format, arglist);
  return STATUS_SUCCESS;
}

namespace sim::harness {

std::vector<DebugMessage> TakeDebugMessages() {
  auto& log = kernel::Log();
  std::lock_guard guard(log.lock);
  std::vector<DebugMessage> taken;
  taken.swap(log.messages);
  return taken;
}

std::vector<std::string> TakeDebugLines() {
  std::vector<std::string> lines;
  for (const DebugMessage& message : TakeDebugMessages()) lines.push_back(message.Line());
  return lines;
}

std::vector<DebugMessage> PeekDebugMessages() {
  auto& log = kernel::Log();
  std::lock_guard guard(log.lock);
  return log.messages;
}

void ClearDebugLog() {
  auto& log = kernel::Log();
  std::lock_guard guard(log.lock);
  log.messages.clear();
}

void SetDebugEcho(bool echo) {
  auto& log = kernel::Log();
  std::lock_guard guard(log.lock);
  log.echo = echo;
}

}  // namespace sim::harness
