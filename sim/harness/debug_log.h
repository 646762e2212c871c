// The debug log: every DbgPrint/DbgPrintEx/vDbgPrintEx message, in call
// order, as UTF-8 text with its component id and level. Messages that a
// Windows machine with the default filter masks would drop are captured too
// (tests check exact texts); WouldShowByDefault tells them apart.
//
// Echo to stderr: SetDebugEcho(true), or TAVO_DEBUG_ECHO=1 in the
// environment (read at each machine reset).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::harness {

struct DebugMessage {
  std::uint32_t componentId = 0;
  std::uint32_t level = 0;  // as passed: 0..31 is a bit number, larger is a mask
  std::string text;         // exactly as formatted (a trailing "\n" included)
  bool truncated = false;   // longer than the 512 bytes one call transmits

  // The filter mask bits the level selects.
  std::uint32_t LevelMask() const { return level <= 31 ? (1u << level) : level; }
  // Windows' default filtering shows error-level messages of every component.
  bool WouldShowByDefault() const { return (LevelMask() & 1u) != 0; }
  // The text without one trailing newline.
  std::string Line() const {
    return !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
  }
};

// Returns the messages logged since the last take (or reset) and clears them.
std::vector<DebugMessage> TakeDebugMessages();

// Same, only the texts without their trailing newline (DebugMessage::Line).
std::vector<std::string> TakeDebugLines();

// The messages logged so far, left in the log.
std::vector<DebugMessage> PeekDebugMessages();

void ClearDebugLog();

// Copies each message to stderr as it is logged.
void SetDebugEcho(bool echo);

}  // namespace sim::harness
