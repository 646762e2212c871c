// DbgPrint/DbgPrintEx: the kernel's format dialect, byte for byte, and the
// debug log (component, level, truncation, IRQL rule for Unicode codes).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "harness/debug_log.h"
#include "kernel/thread_state.h"
#include "nt/debug.h"
#include "nt/ntstatus.h"
#include "verifier/verifier.h"

namespace {

using sim::harness::DebugMessage;
using sim::harness::TakeDebugMessages;

PCWSTR W(const char16_t* text) {
  return reinterpret_cast<PCWSTR>(text);
}

UNICODE_STRING Counted(const char16_t* text, USHORT lengthBytes) {
  UNICODE_STRING s;
  s.Length = lengthBytes;
  s.MaximumLength = lengthBytes;
  s.Buffer = const_cast<PWCH>(W(text));
  return s;
}

UNICODE_STRING Counted(const char16_t* text) {
  return Counted(text,
                 static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(char16_t)));
}

// The one message a print produced.
std::string Printed(const std::function<void()>& print) {
  TakeDebugMessages();
  print();
  auto messages = TakeDebugMessages();
  EXPECT_EQ(messages.size(), 1u);
  return messages.empty() ? std::string("<nothing>") : messages[0].text;
}

struct FormatCase {
  const char* name;
  std::function<void()> print;
  std::string expected;
};

// Strings the cases share (they must outlive the lambdas).
UNICODE_STRING gAscii = Counted(u"C:\\dir\\file.txt");
UNICODE_STRING gNonAscii = Counted(u"Ünïcødé ✓ 😀");
UNICODE_STRING gOddLength = Counted(u"abcdef", 5);  // 2.5 characters: the half is dropped
UNICODE_STRING gShorterThanBuffer = Counted(u"abcdef", 3 * sizeof(char16_t));
UNICODE_STRING gNullBuffer = {4, 4, nullptr};
UNICODE_STRING gEmbeddedNul = Counted(u"ab\0cd", 5 * sizeof(char16_t));
UNICODE_STRING gLoneSurrogate = Counted(u"a\xD800z");
char gAnsiText[] = "ansi text";
STRING gAnsi = {4, sizeof(gAnsiText), gAnsiText};

const FormatCase kFormatCases[] = {
    // Signed and unsigned integers: widths, flags, precision.
    {"d", [] { DbgPrint("%d|%i", -42, 7); }, "-42|7"},
    {"width", [] { DbgPrint("[%5d][%-5d]", 42, 42); }, "[   42][42   ]"},
    {"zero pad after sign", [] { DbgPrint("%05d", -42); }, "-0042"},
    {"hex", [] { DbgPrint("%x %X %08x", 0xDEADBEEFu, 0xDEADBEEFu, 0xBEEFu); },
     "deadbeef DEADBEEF 0000beef"},
    {"l is 32-bit", [] { DbgPrint("%lx %lu %ld", 0xFFFFFFFFu, 4000000000u, -5); },
     "ffffffff 4000000000 -5"},
    {"h truncates to 16 bits", [] { DbgPrint("%hd %hu %hx", 65535, 0x12345, 0xABCDEF); },
     "-1 9029 cdef"},
    {"ll", [] { DbgPrint("%llu %llx", UINT64_MAX, 0x1ull << 40); },
     "18446744073709551615 10000000000"},
    // Pointers: 16 upper-case hex digits on x64.
    {"p", [] { DbgPrint("%p", reinterpret_cast<void*>(0xDEADBEEFull)); }, "00000000DEADBEEF"},
    {"p null", [] { DbgPrint("%p", nullptr); }, "0000000000000000"},
    // Characters.
    {"c", [] { DbgPrint("%c%c|%3c|%-3c|", 'o', 'k', 'A', 'B'); }, "ok|  A|B  |"},
    // Narrow strings.
    {"s", [] { DbgPrint("%s-%hs", "abc", "def"); }, "abc-def"},
    {"s null", [] { DbgPrint("%s", static_cast<const char*>(nullptr)); }, "(null)"},
    {"Z ansi string", [] { DbgPrint("<%Z>", &gAnsi); }, "<ansi>"},
    // Wide strings.
    {"ws S ls", [] { DbgPrint("%ws %S %ls", W(u"one"), W(u"two"), W(u"three")); }, "one two three"},
    {"ws null", [] { DbgPrint("%ws", static_cast<PCWSTR>(nullptr)); }, "(null)"},
    // Counted wide strings.
    {"wZ", [] { DbgPrint("open %wZ\n", &gAscii); }, "open C:\\dir\\file.txt\n"},
    {"wZ non-ASCII", [] { DbgPrint("%wZ", &gNonAscii); }, "Ünïcødé ✓ 😀"},
    {"wZ odd length drops the half character", [] { DbgPrint("[%wZ]", &gOddLength); }, "[ab]"},
    {"wZ prints Length, not up to a NUL", [] { DbgPrint("[%wZ]", &gShorterThanBuffer); }, "[abc]"},
    {"wZ null pointer", [] { DbgPrint("[%wZ]", static_cast<UNICODE_STRING*>(nullptr)); },
     "[(null)]"},
    {"wZ null buffer", [] { DbgPrint("[%wZ]", &gNullBuffer); }, "[(null)]"},
    {"wZ lone surrogate", [] { DbgPrint("%wZ", &gLoneSurrogate); }, "a\xEF\xBF\xBDz"},
    {"wZ embedded NUL ends the message", [] { DbgPrint("[%wZ] more", &gEmbeddedNul); }, "[ab"},
    // Percent, unknown and unsupported conversions.
    {"percent", [] { DbgPrint("100%% done %%d"); }, "100% done %d"},
    {"unknown conversion printed verbatim", [] { DbgPrint("%y|%d", 4); }, "%y|4"},
    {"float unsupported but consumed", [] { DbgPrint("%f|%d", 1.5, 9); }, "%f|9"},
    {"trailing percent", [] { DbgPrint("end%"); }, "end%"},
};

TEST(DbgPrintFormat, KernelDialectByteForByte) {
  for (const FormatCase& c : kFormatCases) {
    EXPECT_EQ(Printed(c.print), c.expected) << "case: " << c.name;
  }
}

TEST(DebugLog, KeepsComponentLevelAndOrderAndClearsOnTake) {
  EXPECT_EQ(DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "first %d\n", 1),
            static_cast<ULONG>(STATUS_SUCCESS));
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "second");
  DbgPrint("third\n");
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x1, "masked\n");
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_MASK | 0x8, "masked info\n");

  EXPECT_EQ(sim::harness::PeekDebugMessages().size(), 5u);
  auto messages = TakeDebugMessages();
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_TRUE(TakeDebugMessages().empty());

  EXPECT_EQ(messages[0].Line(), "first 1");
  EXPECT_EQ(messages[1].Line(), "second");
  EXPECT_EQ(messages[1].text, "second");
  // DbgPrint is DbgPrintEx(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, ...).
  EXPECT_EQ(messages[2].componentId, 101u);
  EXPECT_EQ(messages[2].level, 3u);

  // Default filtering shows error-level messages only; a level above 31 is
  // the mask itself.
  const bool shown[] = {true, false, false, true, false};
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].WouldShowByDefault(), shown[i]) << messages[i].text;
  }
}

TEST(DebugLog, OneCallTransmitsAtMost512Bytes) {
  const std::string longText(600, 'x');
  DbgPrint("%s", longText.c_str());
  DbgPrint("%s", std::string(512, 'y').c_str());
  // A multi-byte character is never cut in half.
  DbgPrint("%s%ws", std::string(511, 'z').c_str(), W(u"é"));
  auto messages = TakeDebugMessages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text, std::string(512, 'x'));
  EXPECT_TRUE(messages[0].truncated);
  EXPECT_EQ(messages[1].text.size(), 512u);
  EXPECT_FALSE(messages[1].truncated);
  EXPECT_EQ(messages[2].text, std::string(511, 'z'));
  EXPECT_TRUE(messages[2].truncated);
}

TEST(DebugLog, UnicodeCodesAbovePassiveLevelAreAViolation) {
  auto& thread = sim::kernel::CurrentThread();
  const KIRQL saved = thread.irql;
  thread.irql = DISPATCH_LEVEL;
  DbgPrint("narrow %s %d\n", "ok", 1);
  EXPECT_TRUE(sim::verifier::TakeViolations().empty());
  DbgPrint("wide %wZ\n", &gAscii);
  thread.irql = saved;

  auto violations = sim::verifier::TakeViolations(sim::verifier::Check::Irql);
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("wide %wZ"), std::string::npos);
  // The message is still logged.
  EXPECT_EQ(TakeDebugMessages().size(), 2u);
}

}  // namespace
