// The expanded 64K-entry upcase table (see upcase_table.h).
#include "kernel/upcase_table.h"

namespace sim::kernel {

const WCHAR* FullUpcaseTable() {
  // Built once, on first use; never changes afterwards.
  static const auto* const table = [] {
    auto* t = new WCHAR[0x10000];
    for (unsigned c = 0; c < 0x10000; ++c) t[c] = UpcaseChar(static_cast<WCHAR>(c));
    return t;
  }();
  return table;
}

}  // namespace sim::kernel
