// Builders of the payloads the driver sends the agent, byte by byte as the
// wire formats lay them out (shared by the agent's tests and the end-to-end
// tests).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <algorithm>
#include <vector>

#include "request_payloads.h"

namespace tavo::agent::testing {

using Bytes = std::vector<std::uint8_t>;

// Little-endian payload writer.
class PayloadWriter {
 public:
  PayloadWriter& U32(std::uint32_t value) {
    Append(&value, 4);
    return *this;
  }
  // The name's bytes with a NUL.
  PayloadWriter& Name(std::u16string_view name) {
    std::u16string text(name);
    text += u'\0';
    Append(text.data(), text.size() * 2);
    return *this;
  }
  PayloadWriter& Zeros(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  static std::uint32_t Length(std::u16string_view name) {
    return static_cast<std::uint32_t>(name.size() * 2 + 2);
  }
  Bytes bytes() const { return bytes_; }

 private:
  void Append(const void* data, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + count);
  }
  Bytes bytes_;
};

inline Bytes ItemQuery(std::u16string_view name, std::uint32_t kind = protocol::kQueryItemInfo) {
  return PayloadWriter()
      .U32(1)
      .U32(kind)
      .U32(PayloadWriter::Length(name))
      .Name(name)
      .Zeros(4)
      .bytes();
}

inline Bytes DownloadPayload(std::u16string_view name, std::uint32_t notAllowed = 0,
                             std::u16string_view process = u"notepad.exe",
                             std::uint32_t isDirectory = 0) {
  PayloadWriter w;
  w.U32(1).U32(notAllowed).U32(isDirectory);
  Bytes field(protocol::kProcessNameFieldBytes, 0);
  std::memcpy(field.data(), process.data(), process.size() * 2);
  Bytes out = w.bytes();
  out.insert(out.end(), field.begin(), field.end());
  Bytes rest = PayloadWriter().U32(PayloadWriter::Length(name)).Name(name).Zeros(4).bytes();
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

inline Bytes ListingPayload(std::u16string_view folder, std::uint32_t infoClass,
                            std::u16string_view pattern = u"", std::uint32_t start = 0,
                            bool single = false, std::uint32_t buffer = 4096,
                            std::uint32_t purpose = protocol::kDirectoryQueryList) {
  PayloadWriter w;
  w.U32(1).U32(infoClass).U32(purpose).U32(start).U32(single ? 1u : 0xFFFFFFFFu).U32(buffer);
  w.U32(PayloadWriter::Length(folder)).U32(pattern.empty() ? 0 : PayloadWriter::Length(pattern));
  w.Name(folder);
  if (!pattern.empty()) w.Name(pattern);
  return w.Zeros(4).bytes();
}

// The emptiness check of a folder as the driver sends it: the path's length
// counts no NUL, and the NUL and two zero bytes follow the path.
inline Bytes DeleteCheckPayload(std::u16string_view folder) {
  PayloadWriter w;
  w.U32(1).U32(0).U32(protocol::kDirectoryQueryDeleteCheck).U32(0).U32(0).U32(0);
  w.U32(PayloadWriter::Length(folder) - 2).U32(0);
  w.Name(folder);
  return w.Zeros(2).bytes();
}

inline Bytes CreatePathPayload(std::u16string_view name, bool directory) {
  return PayloadWriter()
      .U32(1)
      .U32(directory ? 1 : 0)
      .U32(0)
      .U32(PayloadWriter::Length(name))
      .Name(name)
      .Zeros(4)
      .bytes();
}

inline Bytes DeletePayload(std::u16string_view name, bool directory = false) {
  return PayloadWriter()
      .U32(1)
      .U32(directory ? 1 : 0)
      .U32(PayloadWriter::Length(name))
      .Name(name)
      .Zeros(4)
      .bytes();
}

inline Bytes RenamePayload(std::u16string_view from, std::u16string_view to,
                           bool localFolder = false) {
  return PayloadWriter()
      .U32(1)
      .U32(localFolder ? 1 : 0)
      .U32(PayloadWriter::Length(from))
      .U32(PayloadWriter::Length(to))
      .Name(from)
      .Name(to)
      .Zeros(4)
      .bytes();
}

inline Bytes NotificationPayload(std::uint32_t kind, std::u16string_view first,
                                 std::u16string_view second = u"") {
  PayloadWriter w;
  w.U32(kind)
      .U32(PayloadWriter::Length(first))
      .U32(second.empty() ? 0 : PayloadWriter::Length(second));
  w.Name(first);
  if (!second.empty()) w.Name(second);
  return w.bytes();
}

// Entries of a listing answer (the documented FILE_*_INFORMATION layouts):
// name (as much as the entry holds), short name, NextEntryOffset, and for
// the classes that have them attributes and size.
struct DecodedEntry {
  std::u16string name;
  std::u16string shortName;
  std::uint32_t next = 0;
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
};
inline std::uint32_t DecodedHeaderBytes(std::uint32_t infoClass) {
  switch (infoClass) {
    case 1:
      return 64;
    case 2:
      return 68;
    case 3:
      return 94;
    case 12:
      return 12;
    case 37:
      return 104;
    case 38:
      return 80;
    default:
      return 0;
  }
}
inline std::vector<DecodedEntry> DecodeEntries(std::uint32_t infoClass, const Bytes& data) {
  std::vector<DecodedEntry> entries;
  const std::uint32_t header = DecodedHeaderBytes(infoClass);
  std::size_t offset = 0;
  while (offset + header <= data.size()) {
    DecodedEntry e;
    std::memcpy(&e.next, data.data() + offset, 4);
    std::uint32_t nameLength;
    std::memcpy(&nameLength, data.data() + offset + (infoClass == 12u ? 8 : 60), 4);
    const std::size_t available = std::min<std::size_t>(nameLength, data.size() - offset - header);
    e.name.resize(available / 2);
    std::memcpy(e.name.data(), data.data() + offset + header, e.name.size() * 2);
    if (infoClass != 12u) {
      std::memcpy(&e.attributes, data.data() + offset + 56, 4);
      std::memcpy(&e.size, data.data() + offset + 40, 8);
    }
    if (infoClass == 3u || infoClass == 37u) {
      const std::uint8_t shortBytes = data[offset + 68];
      e.shortName.resize(shortBytes / 2);
      std::memcpy(e.shortName.data(), data.data() + offset + 70, shortBytes);
    }
    entries.push_back(e);
    if (e.next == 0) break;
    offset += e.next;
  }
  return entries;
}

}  // namespace tavo::agent::testing
