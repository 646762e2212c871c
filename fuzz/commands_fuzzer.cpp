// The response port's message callback: control commands and answers, as
// raw bytes with buffers of any size (or none).
//
// Input: output size (u16), shape (u8: 1 no input buffer, 2 no output
// buffer), the reply Length the client announces (u32), then the message.
#include <cstring>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto& machine = tavo::fuzz::Machine::Get();
  tavo::fuzz::Input input(data, size);
  const std::uint16_t outputLength = input.U16() % 8193;
  const std::uint8_t shape = input.U8();
  const std::uint32_t announced = input.U32();
  std::vector<std::uint8_t> message = input.Rest();
  std::vector<std::uint8_t> output(outputLength);
  if (output.size() >= 8) std::memcpy(output.data() + 4, &announced, 4);
  DWORD returned = 0;
  FilterSendMessage(machine.Channel().ResponsePort(), (shape & 1) ? nullptr : message.data(),
                    static_cast<DWORD>(message.size()), (shape & 2) ? nullptr : output.data(),
                    outputLength, &returned);
  if (returned > outputLength) __builtin_trap();
  machine.EndInput();
  return 0;
}
