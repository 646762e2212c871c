// The client's answers to every request type: an application's call causes
// the requests, and each answer (cookie, code, status, length, data) comes
// from the input.
//
// Input: the call (u8: bits 0-2 which, bit 3 on the folder "DirDocs"
// instead of the file "report.txt"), then the answers (harness.h).
#include <cstring>

#include "harness.h"

using namespace tavo::fuzz;

namespace {

void Call(std::uint8_t which) {
  const std::u16string item = InView((which & 8) ? u"\\DirDocs" : u"\\report.txt");
  const ULONG folder = (which & 8) ? FILE_DIRECTORY_FILE : 0;
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK iosb{};
  std::uint8_t buffer[1024];
  switch (which & 7) {
    case 0:  // information
      if (NT_SUCCESS(OpenFile(item, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle))) {
        NtQueryInformationFile(handle, &iosb, buffer, sizeof(buffer), FileAllInformation);
      }
      break;
    case 1:  // download
      if (NT_SUCCESS(OpenFile(item, FILE_READ_DATA, FILE_OPEN, 0, &handle))) {
        LARGE_INTEGER offset{};
        NtReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &offset, nullptr);
      }
      break;
    case 2:  // create path
      OpenFile(InView((which & 8) ? u"\\DirNew" : u"\\new.txt"), FILE_WRITE_DATA, FILE_CREATE, folder,
               &handle);
      break;
    case 3:  // long name of a short one
      OpenFile(InView(u"\\REPORT~1.TXT\\x.txt"), FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle);
      break;
    case 4: {  // rename
      if (NT_SUCCESS(OpenFile(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle))) {
        const std::u16string target = InView(u"\\renamed");
        std::vector<std::uint8_t> info(sizeof(FILE_RENAME_INFORMATION) + target.size() * 2, 0);
        auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(info.data());
        rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
        std::memcpy(rename->FileName, target.data(), target.size() * 2);
        NtSetInformationFile(handle, &iosb, info.data(), static_cast<ULONG>(info.size()),
                             FileRenameInformation);
      }
      break;
    }
    case 5:  // delete at last close (a folder is checked for emptiness first)
      OpenFile(item, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_DELETE_ON_CLOSE | folder, &handle);
      break;
    default:  // listing
      if (NT_SUCCESS(OpenFile(InView(u"\\DirDocs"), FILE_LIST_DIRECTORY, FILE_OPEN,
                              FILE_DIRECTORY_FILE, &handle))) {
        NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer),
                             FileDirectoryInformation, FALSE, nullptr, TRUE);
      }
      break;
  }
  CloseFile(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& machine = Machine::Get();
  Input input(data, size);
  const std::uint8_t which = input.U8();
  machine.Run([&] { Call(which); }, &input);
  machine.EndInput();
  return 0;
}
