// The installer port's message callback, while the application holds
// handles to server items.
//
// Input: handles to hold (u8, up to 3, each to its own item), output size
// (u16), shape (u8: 1 no input buffer, 2 no output buffer), the message.
#include "harness.h"

using namespace tavo::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& machine = Machine::Get();
  Input input(data, size);
  const unsigned handles = input.U8() % 4;
  const std::uint16_t outputLength = input.U16() % 4097;
  const std::uint8_t shape = input.U8();
  std::vector<std::uint8_t> message = input.Rest();
  machine.Run([&] {
    HANDLE held[3] = {};
    for (unsigned i = 0; i < handles; ++i) {
      OpenFile(InView(u"\\item" + std::u16string(1, u'0' + i) + u".txt"), FILE_READ_ATTRIBUTES,
               FILE_OPEN, 0, &held[i]);
    }
    std::vector<std::uint8_t> output(outputLength);
    DWORD returned = 0;
    FilterSendMessage(machine.Channel().InstallerPort(), (shape & 1) ? nullptr : message.data(),
                      static_cast<DWORD>(message.size()), (shape & 2) ? nullptr : output.data(),
                      outputLength, &returned);
    if (returned > outputLength) __builtin_trap();
    for (HANDLE handle : held) CloseFile(handle);
  }, nullptr);
  machine.EndInput();
  return 0;
}
