// The kernel's printf dialect, as DbgPrint and DbgPrintEx format messages.
// Output is UTF-8; wide arguments (%ws, %wZ, %wc, %S, %C) are converted from
// UTF-16.
#pragma once

#include <cstdarg>
#include <string>

namespace sim::kernel {

struct FormattedMessage {
  std::string text;
  bool usedUnicodeCodes = false;  // %C %S %lc %ls %wc %ws %wZ appeared
};

// Formats `format` with `args` (which the routine copies, leaving the
// caller's list untouched). The list is the Microsoft x64 convention's:
// DbgPrint and its relatives are called with it.
FormattedMessage FormatDebugMessage(const char* format, __builtin_ms_va_list args);

}  // namespace sim::kernel
