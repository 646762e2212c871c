// The allow and block lists, loaded through the client's commands, and the
// decisions made from them.
#include <functional>

#include "core/globals.h"
#include "driver_fixture.h"
#include "harness/debug_log.h"
#include "harness/strings.h"
#include "port_messages.h"
#include "tables/process_lists.h"

namespace tavo::testing {
namespace {

using client::ProcessListItem;

UNICODE_STRING View(std::u16string& text) {
  return sim::harness::MakeUnicodeString(text);
}

bool Decide(std::u16string file, std::u16string process, ACCESS_MASK access) {
  UNICODE_STRING fileName = View(file), processName = View(process);
  return CanDownload(fileName, processName, access);
}

bool NoListing(std::u16string process) {
  UNICODE_STRING name = View(process);
  return IsNoListingProcess(name);
}

class ProcessListTest : public ConnectedDriverTest {
 protected:
  void Block(const std::vector<ProcessListItem>& items) {
    ASSERT_EQ(client_->Channel().SendBlockList(items).status, 0u);
  }
  void Allow(const std::vector<ProcessListItem>& items) {
    ASSERT_EQ(client_->Channel().SendAllowList(items).status, 0u);
  }
};

TEST_F(ProcessListTest, ExtensionMatchesTakesTheTextFromTheLastDot) {
  struct Case {
    std::u16string file, extension;
    bool matches;
  };
  const Case cases[] = {
      {u"a.pdf", u".pdf", true},           {u"A.PDF", u".pdf", true},
      {u"a.pdf.exe", u".pdf", false},      {u"pdf", u".pdf", false},
      {u".pdf", u".pdf", false},           {u"x.", u".", true},
      {u"dir.d\\file", u".d\\file", true}, {u"", u".pdf", false},
  };
  for (const Case& c : cases) {
    std::u16string file = c.file, extension = c.extension;
    EXPECT_EQ(ExtensionMatches(View(file), View(extension)), c.matches)
        << sim::harness::ToUtf8(c.file) << " " << sim::harness::ToUtf8(c.extension);
  }
}

// The decision table: first matching row wins.
TEST_F(ProcessListTest, CanDownloadDecisionTable) {
  Block({{u"blocked.exe", u""}, {u"reader.exe", u".pdf"}, {u"star.exe", u"*"}});
  Allow({{u"allowed.exe", u""}});  // allow-list mode from now on
  struct Case {
    const char16_t* file;
    const char16_t* process;
    ACCESS_MASK access;
    bool expected;
  };
  const Case allowMode[] = {
      {u"a.txt", u"blocked.exe", FILE_EXECUTE, true},
      {u"a.txt", u"blocked.exe", FILE_ALL_ACCESS, true},
      {u"a.txt", u"blocked.exe", FILE_READ_DATA, false},
      {u"a.pdf", u"reader.exe", FILE_READ_DATA, true},
      {u"a.PDF", u"READER.EXE", FILE_READ_DATA, true},
      {u"a.txt", u"reader.exe", FILE_READ_DATA, false},
      // Without an extension of its own a file is no exception, whatever
      // its folder is called.
      {u"README", u"reader.exe", FILE_READ_DATA, false},
      {u"\\docs.pdf\\README", u"reader.exe", FILE_READ_DATA, false},
      {u"a.txt", u"star.exe", FILE_READ_DATA, false},
      {u"a.txt", u"allowed.exe", FILE_READ_DATA, true},
      {u"a.txt", u"Allowed.EXE", GENERIC_READ, true},
      {u"a.txt", u"other.exe", FILE_READ_DATA, false},
  };
  for (const Case& c : allowMode) {
    EXPECT_EQ(Decide(c.file, c.process, c.access), c.expected)
        << sim::harness::ToUtf8(c.process) << " " << sim::harness::ToUtf8(c.file);
  }

  // A block-list command switches back to block-list mode; the allow list stays.
  Block({{u"blocked.exe", u""}});
  EXPECT_TRUE(Decide(u"a.txt", u"other.exe", FILE_READ_DATA));
  EXPECT_FALSE(Decide(u"a.txt", u"blocked.exe", FILE_READ_DATA));
  EXPECT_TRUE(Decide(u"a.pdf", u"reader.exe", FILE_READ_DATA));  // no longer listed
  Allow({{u"allowed.exe", u""}});
  EXPECT_FALSE(Decide(u"a.txt", u"other.exe", FILE_READ_DATA));
}

// Every list entry is printed as it is loaded, every decision as it is made.
TEST_F(ProcessListTest, ListEntriesAndDecisionsArePrinted) {
  sim::harness::TakeDebugLines();
  Block({{u"a.exe", u".pdf"}, {u"b.exe", u""}, {u"", u""}});
  Allow({{u"c.exe", u".doc"}});
  Block({{u"blocked.exe", u""}});
  Decide(u"\\a.txt", u"blocked.exe", FILE_READ_DATA);
  Decide(u"\\a.txt", u"free.exe", FILE_READ_DATA);
  EXPECT_EQ(
      sim::harness::TakeDebugLines(),
      (std::vector<std::string>{"Block Process: a.exe, and extension .pdf", "Block Process: b.exe",
                                "Block Process: ", "Allow Process: c.exe, and extension .doc",
                                "Block Process: blocked.exe",
                                "Requestor Process blocked.exe can not download file \\a.txt",
                                "Requestor Process free.exe can download file \\a.txt"}));
}

TEST_F(ProcessListTest, RepeatedProcessesAndExtensionsAreStoredOnce) {
  Block({{u"r.exe", u".pdf"}, {u"R.EXE", u".PDF"}, {u"r.exe", u".doc"}});
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"r.exe");
  auto* found = RtlFindUnicodePrefix(&Globals.BlockedProcessTable, &name, 0);
  ASSERT_NE(found, nullptr);
  auto* entry = CONTAINING_RECORD(found, BlockedProcessEntry, PrefixEntry);
  EXPECT_EQ(entry->ExtensionCount, 2u);
  EXPECT_EQ(RtlNextUnicodePrefix(&Globals.BlockedProcessTable, TRUE), found);
  EXPECT_EQ(RtlNextUnicodePrefix(&Globals.BlockedProcessTable, FALSE), nullptr);
}

TEST_F(ProcessListTest, NoListingTableSkipsShellHostsAndAlwaysHasSystemProperties) {
  Block({});
  EXPECT_TRUE(NoListing(u"SystemPropertiesAdvanced.exe"));
  EXPECT_TRUE(NoListing(u"systempropertiesadvanced.EXE"));
  Block({{u"explorer.exe", u""}, {u"SearchProtocolHost.exe", u""}, {u"backup.exe", u".x"}});
  EXPECT_FALSE(NoListing(u"explorer.exe"));
  EXPECT_FALSE(NoListing(u"searchprotocolhost.exe"));
  EXPECT_TRUE(NoListing(u"backup.exe"));
  EXPECT_TRUE(NoListing(u"SystemPropertiesAdvanced.exe"));
  EXPECT_FALSE(Decide(u"a.txt", u"explorer.exe", FILE_READ_DATA));
  // An allow list does not touch the no-listing table.
  Allow({{u"x.exe", u""}});
  EXPECT_TRUE(NoListing(u"backup.exe"));
}

// A process may keep 32 extensions; a list giving one more is refused whole.
TEST_F(ProcessListTest, TheThirtyThirdExtensionRefusesTheList) {
  Block({{u"keep.exe", u""}});
  std::vector<ProcessListItem> items;
  for (int i = 0; i < 33; ++i)
    items.push_back({u"p.exe", u".e" + std::u16string(1, u'a' + i % 26) + (i >= 26 ? u"x" : u"")});
  std::vector<ProcessListItem> thirtyTwo(items.begin(), items.begin() + 32);
  EXPECT_EQ(client_->Channel().SendBlockList(items).hresult,
            HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(Decide(u"a.txt", u"keep.exe", FILE_READ_DATA));  // the old list stands
  EXPECT_TRUE(Decide(u"a.txt", u"p.exe", FILE_READ_DATA));
  EXPECT_EQ(client_->Channel().SendBlockList(thirtyTwo).status, 0u);
  EXPECT_FALSE(Decide(u"a.txt", u"p.exe", FILE_READ_DATA));
  EXPECT_TRUE(Decide(u"a.ez", u"p.exe", FILE_READ_DATA));
}

// Entry chains that leave the message, or lengths that are not UTF-16, are
// refused before anything changes.
TEST_F(ProcessListTest, MalformedEntryChainsAreRefused) {
  Block({{u"keep.exe", u""}});
  using protocol::ProcessListEntry;
  auto base =
      client::EncodeProcessList(protocol::kCommandBlockList, {{u"a.exe", u".x"}, {u"b.exe", u""}});
  auto entryAt = [](std::vector<std::uint8_t>& message, std::size_t offset) {
    return reinterpret_cast<ProcessListEntry*>(message.data() + offset);
  };
  const std::size_t first = protocol::kProcessListFirstEntryOffset;
  const std::uint32_t second = entryAt(base, first)->NextOffset;
  using Message = std::vector<std::uint8_t>;
  const std::function<void(Message&)> breaks[] = {
      // NextOffset past the end, and one that wraps around.
      [&](Message& m) { entryAt(m, first)->NextOffset = static_cast<std::uint32_t>(m.size()); },
      [&](Message& m) { entryAt(m, first)->NextOffset = 0xFFFFFFF0u; },
      // A name running past the end, an odd name length.
      [&](Message& m) { entryAt(m, first)->NameLength = 0x1000; },
      [&](Message& m) { entryAt(m, first)->NameLength = 3; },
      // An extension running past the end of the last entry.
      [&](Message& m) { entryAt(m, first + second)->ExtensionLength = 200; },
      // A well-formed second entry at an odd offset: its UTF-16 name would
      // sit at an odd address.
      [&](Message& m) {
        m.insert(m.begin() + static_cast<std::ptrdiff_t>(first + second), 0);
        entryAt(m, first)->NextOffset = second + 1;
      },
      // No room for the first entry's header.
      [&](Message& m) { m.resize(first + 8); },
  };
  std::vector<Message> bad;
  for (const auto& breakIt : breaks) {
    bad.push_back(base);
    breakIt(bad.back());
  }
  // A name longer than a counted string can hold.
  bad.push_back(
      client::EncodeProcessList(protocol::kCommandBlockList, {{std::u16string(32768, u'n'), u""}}));
  for (const auto& message : bad) {
    auto result =
        client_->Channel().SendRaw(message.data(), static_cast<std::uint32_t>(message.size()), 0);
    EXPECT_EQ(result.hresult, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  }
  EXPECT_FALSE(Decide(u"a.txt", u"keep.exe", FILE_READ_DATA));
  EXPECT_TRUE(Decide(u"a.txt", u"a.exe", FILE_READ_DATA));
}

}  // namespace
}  // namespace tavo::testing
