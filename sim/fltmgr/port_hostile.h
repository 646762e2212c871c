// A client that unmaps its message buffers while a message callback runs,
// and the guarded copy a driver reads and writes such buffers with. See
// port_hostile.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <fltKernel.h>

// The driver's guarded copy, as the simulated machine runs it: see
// port_hostile.cpp.
extern "C" NTSTATUS TavoGuardedCopy(PVOID Destination, const VOID* Source, SIZE_T Length);

namespace sim::fltmgr::ports {

class ClientPages;

// The input and output buffers of one message callback in hostile mode:
// private page-backed copies of the client's buffers, accessible only inside
// a guarded copy, that are unmapped just before the callback's
// `unmapAtAccess`-th guarded access to either.
class HostileMessageBuffers {
 public:
  HostileMessageBuffers(const void* input, ULONG inputLength, const void* output,
                        ULONG outputLength, unsigned unmapAtAccess);
  ~HostileMessageBuffers();
  HostileMessageBuffers(const HostileMessageBuffers&) = delete;
  HostileMessageBuffers& operator=(const HostileMessageBuffers&) = delete;

  std::uint8_t* Input();   // null when the client passed none
  std::uint8_t* Output();  // null when the client passed none
  bool Unmapped() const;   // the client's pages went during the call
  // The output the callback left, to the client's real buffer (nothing when
  // the pages went).
  void CopyOutputBack(void* to, std::size_t length);

  struct Call;  // the buffers and the access count the guarded copy sees

 private:
  std::unique_ptr<Call> call_;
};

// A guarded copy as hostile mode sees it: false when neither address lies
// in a hostile callback's buffers; otherwise the copy is made (counted as
// one guarded access) with *status STATUS_SUCCESS, or not made with
// STATUS_ACCESS_VIOLATION when the client's pages are gone. A driver image
// reaches this through the fault its own copy takes on the closed pages.
bool HostileGuardedCopy(void* destination, const void* source, std::size_t length,
                        NTSTATUS* status);

// Guarded accesses to the client's buffers made by the last callback that
// ran in hostile mode.
unsigned LastHostileCallAccesses();

}  // namespace sim::fltmgr::ports
