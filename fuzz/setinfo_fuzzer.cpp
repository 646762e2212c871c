// Set-information on server-only items: the rename and disposition classes
// with any buffer, and the client's answers to what they ask.
//
// Input: the item (u8: bit 0 the folder "DirDocs", else "report.txt"; bit 1
// opened for delete on close), class (u8, one of four), buffer length
// (u16), buffer bytes (zero-padded to the length), then the answers
// (harness.h).
#include <algorithm>

#include "harness.h"

using namespace tavo::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FILE_INFORMATION_CLASS kClasses[] = {
      FileRenameInformation, FileRenameInformationEx, FileDispositionInformation,
      FileDispositionInformationEx};
  auto& machine = Machine::Get();
  Input input(data, size);
  const std::uint8_t item = input.U8();
  const FILE_INFORMATION_CLASS infoClass = kClasses[input.U8() % 4];
  std::vector<std::uint8_t> buffer(input.U16() % 2049);
  const std::vector<std::uint8_t> bytes = input.Bytes(buffer.size());
  std::copy(bytes.begin(), bytes.end(), buffer.begin());
  machine.Run([&] {
    HANDLE handle = nullptr;
    const ULONG options = ((item & 1) ? FILE_DIRECTORY_FILE : 0) | ((item & 2) ? FILE_DELETE_ON_CLOSE : 0);
    if (!NT_SUCCESS(OpenFile(InView((item & 1) ? u"\\DirDocs" : u"\\report.txt"),
                             DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, options, &handle))) {
      return;
    }
    IO_STATUS_BLOCK iosb{};
    NtSetInformationFile(handle, &iosb, buffer.data(), static_cast<ULONG>(buffer.size()), infoClass);
    CloseFile(handle);
  }, &input);
  machine.EndInput();
  return 0;
}
