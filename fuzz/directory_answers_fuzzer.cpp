// Listings on the driver's own handles: the query (class, buffer length,
// single entry, restart, pattern) and the client's answers, whose entries
// the driver walks and counts.
//
// Input: the folder (u8: bit 0 the view's root, else "DirDocs"), queries
// (u8, 1 to 4), then per query: class (u8, below 128), buffer length (u16), flags (u8:
// 1 single entry, 2 restart, 4 a pattern), pattern length (u8) and bytes;
// then the answers (harness.h).
#include "harness.h"

using namespace tavo::fuzz;

namespace {

struct Query {
  FILE_INFORMATION_CLASS infoClass;
  std::uint16_t length;
  std::uint8_t flags;
  std::vector<std::uint8_t> pattern;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& machine = Machine::Get();
  Input input(data, size);
  const bool root = (input.U8() & 1) != 0;
  std::vector<Query> queries(1 + input.U8() % 4);
  for (Query& query : queries) {
    // Any class the enumeration can hold, known or not.
    query.infoClass = static_cast<FILE_INFORMATION_CLASS>(input.U8() % 128);
    query.length = input.U16() % 4097;
    query.flags = input.U8();
    query.pattern = input.Bytes(input.U8());
  }
  machine.Run([&] {
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(OpenFile(root ? kViewRoot : InView(u"\\DirDocs"), FILE_LIST_DIRECTORY,
                             FILE_OPEN, FILE_DIRECTORY_FILE, &handle))) {
      return;
    }
    for (Query& query : queries) {
      std::vector<std::uint8_t> buffer(query.length);
      UNICODE_STRING pattern{static_cast<USHORT>(query.pattern.size() & ~1u),
                             static_cast<USHORT>(query.pattern.size() & ~1u),
                             reinterpret_cast<PWSTR>(query.pattern.data())};
      IO_STATUS_BLOCK iosb{};
      NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(), query.length,
                           query.infoClass, (query.flags & 1) != 0,
                           (query.flags & 4) ? &pattern : nullptr, (query.flags & 2) != 0);
      if (NT_SUCCESS(iosb.Status) && iosb.Information > query.length) __builtin_trap();
    }
    CloseFile(handle);
  }, &input);
  machine.EndInput();
  return 0;
}
