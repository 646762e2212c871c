// Wire formats of the four communication ports between the driver and its
// user-mode client: the envelope of every request and notification, the
// client's acknowledgement, the command message and its reply, and the
// layouts of the control commands. Little-endian, byte offsets from the start
// of the driver's part of a message (after the Filter Manager's own headers).
//
// Header-only and kernel-safe: no standard-library header, so the driver,
// the client and the tests share one definition. Messages arrive from user
// memory and may be unaligned: read them with a byte copy into these
// structures, never by casting a received pointer.
#pragma once

namespace tavo::protocol {

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;
using i32 = int;
using u64 = unsigned long long;
using i64 = long long;
using char16 = wchar_t;  // UTF-16 code unit (wchar_t is 16-bit in every build)

static_assert(sizeof(u16) == 2 && sizeof(u32) == 4 && sizeof(u64) == 8, "fixed widths");
static_assert(sizeof(char16) == 2, "UTF-16 code units");

// Wire layouts are byte-exact: no structure is padded past its last field.
#pragma pack(push, 2)

// Port names.
inline constexpr const char16 kRequestPortName[] = L"\\TavoRequestCommPort";
inline constexpr const char16 kFileChangePortName[] = L"\\TavoFileChangeRequestCommPort";
inline constexpr const char16 kInstallerPortName[] = L"\\TavoInstallerInterfaceCommPort";
inline constexpr const char16 kResponsePortName[] = L"\\TavoResponseCommPort";

// RequestEnvelope.Type of requests that wait for an answer.
enum RequestType : u32 {
  kRequestDownload = 1,
  kRequestDirectoryListing = 2,
  kRequestItemQuery = 3,
  kRequestRenameItem = 4,
  kRequestDeleteItem = 5,
  kRequestCreatePath = 6,
};

// RequestEnvelope.Type of one-way file-change notifications.
enum NotificationType : u32 {
  kNotificationRenamed = 4,
  kNotificationDeleted = 5,
  kNotificationCreated = 10,
};

// CommandMessage.Code of the control commands; any other code is an answer.
enum CommandCode : u32 {
  kCommandConfigure = 7,
  kCommandNoOperation = 8,
  kCommandBlockList = 11,
  kCommandAllowList = 12,
  kCommandOpenHandleReport = 13,  // installer port only
  kCommandPopulateShortNames = 14,
};

// What the driver sends on the request and file-change ports. The payload
// starts at offset 20; the message handed to the port is Length + 24 bytes.
struct RequestEnvelope {
  u32 Type;
  u32 Unused;
  u64 Cookie;  // identity of the waiting request; 0 in notifications
  u32 Length;  // payload bytes
  // u8 Payload[Length] at offset 20
};
inline constexpr u32 kEnvelopePayloadOffset = 20;
inline constexpr u32 kEnvelopeOverhead = 24;
static_assert(__builtin_offsetof(RequestEnvelope, Cookie) == 8, "RequestEnvelope.Cookie");
static_assert(__builtin_offsetof(RequestEnvelope, Length) == 16, "RequestEnvelope.Length");
static_assert(sizeof(RequestEnvelope) == kEnvelopePayloadOffset, "RequestEnvelope header size");

// The client's immediate reply to each request and notification.
struct Acknowledgement {
  i32 Status;  // negative: the client refuses the message
  u8 Unused[8];
};
static_assert(sizeof(Acknowledgement) == 12, "Acknowledgement size");

// What the client sends on the response port: answers and commands.
struct CommandMessage {
  i32 Status;  // an answer's result
  u32 Code;    // command code, or the Type of the answered request
  u64 Cookie;  // an answer's request identity; 0: nothing to deliver
  u32 Length;  // Data bytes (not read by the configuration command)
  // u8 Data[] at offset 20
};
inline constexpr u32 kCommandDataOffset = 20;
static_assert(__builtin_offsetof(CommandMessage, Code) == 4, "CommandMessage.Code");
static_assert(__builtin_offsetof(CommandMessage, Cookie) == 8, "CommandMessage.Cookie");
static_assert(__builtin_offsetof(CommandMessage, Length) == 16, "CommandMessage.Length");
static_assert(sizeof(CommandMessage) == kCommandDataOffset, "CommandMessage header size");

// The output buffer of a command or answer, filled by the driver. The
// reported output length is kCommandReplyHeaderSize, plus Length for the
// commands that return data.
struct CommandReply {
  u32 Status;
  u32 Length;  // populate short names: capacity on input, bytes of Data on output
  // u8 Data[] at offset 8
};
inline constexpr u32 kCommandReplyDataOffset = 8;
inline constexpr u32 kCommandReplyHeaderSize = 12;
static_assert(sizeof(CommandReply) == kCommandReplyDataOffset, "CommandReply header size");

// Configuration command: session id and three NUL-terminated UTF-16 paths in
// fixed 570-byte fields.
inline constexpr u32 kRootFieldBytes = 570;
struct ConfigurationCommand {
  i32 Status;
  u32 Code;
  u64 Cookie;
  u32 Length;
  u32 SessionId;
  char16 MergedViewPath[kRootFieldBytes / 2];
  char16 BackendPath[kRootFieldBytes / 2];
  char16 SecondaryViewPath[kRootFieldBytes / 2];
};
static_assert(__builtin_offsetof(ConfigurationCommand, SessionId) == 20, "SessionId");
static_assert(__builtin_offsetof(ConfigurationCommand, MergedViewPath) == 24, "MergedViewPath");
static_assert(__builtin_offsetof(ConfigurationCommand, BackendPath) == 594, "BackendPath");
static_assert(__builtin_offsetof(ConfigurationCommand, SecondaryViewPath) == 1164,
              "SecondaryViewPath");
inline constexpr u32 kConfigurationCommandSize = 1734;
static_assert(__builtin_offsetof(ConfigurationCommand, SecondaryViewPath) + kRootFieldBytes ==
                  kConfigurationCommandSize,
              "ConfigurationCommand size");
static_assert(sizeof(ConfigurationCommand) == kConfigurationCommandSize,
              "ConfigurationCommand size");

// Block- and allow-list commands: a chain of these entries from offset 20.
struct ProcessListEntry {
  u32 NextOffset;       // bytes from this entry to the next; 0: last entry
  u32 NameLength;       // bytes of Name
  u16 ExtensionLength;  // bytes of Extension; 0: none
  u16 Unused;
  // char16 Name[NameLength / 2] at offset 12, then Extension
};
inline constexpr u32 kProcessListEntryNameOffset = 12;
inline constexpr u32 kProcessListFirstEntryOffset = 20;
static_assert(__builtin_offsetof(ProcessListEntry, ExtensionLength) == 8, "ExtensionLength");
static_assert(sizeof(ProcessListEntry) == kProcessListEntryNameOffset, "ProcessListEntry size");

// Populate-short-names command: Length bytes of UTF-16 text from offset 20,
// long names each followed by this separator; the reply lists the short names
// the same way.
inline constexpr char16 kShortNameSeparator = L';';

// File-change notification payload.
struct NotificationPayload {
  u32 Kind;              // the notification type for renames and deletes, 0 for creations
  u32 FirstNameLength;   // bytes including the NUL
  u32 SecondNameLength;  // bytes including the NUL; 0 when there is none
  // char16 FirstName[], then SecondName, at offset 12
};
inline constexpr u32 kNotificationNamesOffset = 12;
static_assert(sizeof(NotificationPayload) == 12, "NotificationPayload size");

#pragma pack(pop)

}  // namespace tavo::protocol
