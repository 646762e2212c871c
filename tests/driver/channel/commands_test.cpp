// The response port's commands and the checks every message passes first.
#include <cstring>

#include "channel/ports.h"
#include "core/globals.h"
#include "driver_fixture.h"
#include "harness/debug_log.h"
#include "harness/strings.h"
#include "port_messages.h"

namespace tavo::testing {
namespace {

using namespace tavo::protocol;
using sim::harness::ToU16;

std::vector<std::uint8_t> Header(std::uint32_t code, std::uint32_t length = 0,
                                 std::uint64_t cookie = 0) {
  std::vector<std::uint8_t> message(kCommandDataOffset);
  CommandMessage header{0, code, cookie, length};
  std::memcpy(message.data(), &header, sizeof(header));
  return message;
}

std::vector<std::uint8_t> Configuration(std::uint32_t sessionId, std::u16string_view merged,
                                        std::u16string_view backend,
                                        std::u16string_view secondary) {
  std::vector<std::uint8_t> message = Header(kCommandConfigure);
  message.resize(kConfigurationCommandSize);
  std::memcpy(message.data() + 20, &sessionId, 4);
  std::memcpy(message.data() + 24, merged.data(), merged.size() * 2);
  std::memcpy(message.data() + 594, backend.data(), backend.size() * 2);
  std::memcpy(message.data() + 1164, secondary.data(), secondary.size() * 2);
  return message;
}

class CommandTest : public ConnectedDriverTest {
 protected:
  client::CommandResult Send(const std::vector<std::uint8_t>& message, std::uint32_t capacity = 0,
                             std::uint32_t announced = 0) {
    return client_->Channel().SendRaw(message.data(), static_cast<std::uint32_t>(message.size()),
                                      capacity, announced);
  }
};

// Each configuration stores the roots whole, a root that fills its field
// too, and the volume prefix, which ends at the third backslash (a root
// without one names a volume as a whole). Only a volume the filter finds is
// attached, and only then is the session taken. Sent again, a configuration
// changes nothing.
TEST_F(CommandTest, ConfigurationSetsTheRootsThePrefixAndOnAKnownVolumeTheSession) {
  EXPECT_EQ(Globals.MergedViewRoot.Length, 0);
  EXPECT_EQ(Globals.VolumePrefixLength, 26);
  std::u16string filling = std::u16string(kMergedViewRoot) + u"\\";
  filling.resize(284, u'a');
  struct Case {
    std::u16string merged, secondary;
    std::uint32_t session;
    USHORT prefix;
    std::uint32_t sessionAfter;
    bool attached;
  } cases[] = {
      {u"\\Device\\HarddiskVolume9\\x", u"", 9, 23, 0, false},
      {kMergedViewRoot, kSecondaryViewRoot, 7, 23, 7, true},
      {kMergedViewRoot, kSecondaryViewRoot, 7, 23, 7, true},
      {u"\\Device\\HarddiskVolume12\\a\\b", u"", 8, 24, 7, true},
      {filling, u"", 7, 23, 7, true},
      {u"\\Device\\HarddiskVolume3", u"", 7, 23, 7, true},
      {u"", u"", 7, 0, 7, true},
  };
  for (const Case& c : cases) {
    const auto result =
        client_->Channel().Configure(c.session, c.merged, kBackendRoot, c.secondary);
    const std::string what = sim::harness::ToUtf8(c.merged);
    ASSERT_EQ(result.hresult, S_OK) << what;
    EXPECT_EQ(result.status, 0u) << what;
    EXPECT_EQ(result.returnedBytes, 12u) << what;
    EXPECT_EQ(ToU16(Globals.MergedViewRoot), c.merged) << what;
    EXPECT_EQ(ToU16(Globals.BackendRoot), kBackendRoot) << what;
    EXPECT_EQ(ToU16(Globals.SecondaryViewRoot), c.secondary) << what;
    EXPECT_EQ(Globals.MergedViewRoot.MaximumLength, 570) << what;
    EXPECT_EQ(Globals.VolumePrefixLength, c.prefix) << what;
    EXPECT_EQ(Globals.ClientSessionId, c.sessionAfter) << what;
    EXPECT_EQ(Globals.AttachedVolume != nullptr, c.attached) << what;
  }
}

TEST_F(CommandTest, MalformedMessagesAreRefusedAndChangeNothing) {
  ASSERT_EQ(
      client_->Channel().Configure(3, kMergedViewRoot, kBackendRoot, kSecondaryViewRoot).status,
      0u);
  auto noNul = Configuration(5, u"\\Device\\HarddiskVolume3\\other", kBackendRoot, u"");
  for (std::size_t i = 0; i < 285; ++i) std::memcpy(noNul.data() + 1164 + 2 * i, u"x", 2);
  auto truncatedConfiguration =
      Configuration(5, u"\\Device\\HarddiskVolume3\\other", kBackendRoot, u"");
  truncatedConfiguration.resize(kConfigurationCommandSize - 1);
  auto shortHeader = Header(kCommandNoOperation);
  shortHeader.resize(19);
  auto answerPastEnd = Header(3, 100, 42);
  answerPastEnd.resize(kCommandDataOffset + 99);

  for (const auto& message : {noNul, truncatedConfiguration, shortHeader, answerPastEnd}) {
    auto result = Send(message);
    EXPECT_EQ(result.hresult, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)) << message.size();
  }
  // Short names announcing more text than the message carries.
  auto namesPastEnd = Header(kCommandPopulateShortNames, 400);
  namesPastEnd.resize(kCommandDataOffset + 200, 'a');
  EXPECT_EQ(Send(namesPastEnd, 512, 400).hresult, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ToU16(Globals.MergedViewRoot), kMergedViewRoot);
  EXPECT_EQ(Globals.ConfiguredSessionId, 3u);
}

// The callback itself refuses missing or empty buffers.
TEST_F(CommandTest, MissingBuffersAreRefused) {
  std::vector<std::uint8_t> message = Header(kCommandNoOperation);
  std::uint8_t output[12];
  ULONG returned = 0;
  EXPECT_EQ(ResponsePortMessage(nullptr, nullptr, 20, output, 12, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ResponsePortMessage(nullptr, message.data(), 0, output, 12, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ResponsePortMessage(nullptr, message.data(), 20, nullptr, 12, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ResponsePortMessage(nullptr, message.data(), 20, output, 11, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ResponsePortMessage(nullptr, message.data(), 20, output, 12, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 12u);
}

TEST_F(CommandTest, NoOperationAndUnmatchedAnswersReplyStatusZero) {
  for (std::uint32_t code : {8u, 3u, 99u, 13u}) {
    auto result = Send(Header(code));
    EXPECT_EQ(result.hresult, S_OK) << code;
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.returnedBytes, 12u);
  }
}

// The installer port accepts only its query; with no server-only item open
// the report is empty.
TEST_F(CommandTest, InstallerQueryWithNothingOpen) {
  auto query = Header(protocol::kCommandOpenHandleReport);
  auto result = client_->Channel().SendInstallerRaw(query.data(), 20, 64);
  ASSERT_EQ(result.hresult, S_OK);
  EXPECT_EQ(result.status, 0u);
  EXPECT_TRUE(result.data.empty());
  EXPECT_EQ(result.returnedBytes, 12u);
  auto other = Header(kCommandAllowList);
  EXPECT_EQ(client_->Channel().SendInstallerRaw(other.data(), 20, 64).hresult,
            HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

// --- populate short names -------------------------------------------------

class ShortNameCommandTest : public CommandTest {};

// Each long name gets a unique short name. An empty long name (two
// separators in a row) is handed to the name generator as it is; its result
// keeps its place in the reply.
TEST_F(ShortNameCommandTest, EachLongNameGetsAUniqueShortNameInItsPlace) {
  std::vector<std::u16string> shortNames;
  sim::harness::TakeDebugLines();
  auto result = client_->Channel().PopulateShortNames(
      {u"LongFileName.txt", u"LongFileNameOther.txt", u"", u"report.pdf", u"First long name.txt"},
      200, &shortNames);
  ASSERT_EQ(result.hresult, S_OK);
  ASSERT_EQ(shortNames.size(), 5u);
  EXPECT_EQ(shortNames[0], u"LONGFI~1.TXT");
  EXPECT_EQ(shortNames[1], u"LONGFI~2.TXT");
  EXPECT_EQ(shortNames[3], u"REPORT~1.PDF");  // a generated name always has a tilde
  EXPECT_EQ(shortNames[4], u"FIRSTL~1.TXT");
  EXPECT_EQ(result.returnedBytes, 12u + result.data.size());
  EXPECT_EQ(sim::harness::TakeDebugLines(), std::vector<std::string>{"Populate shortnames"});
}

TEST_F(ShortNameCommandTest, TextShorterThanTwelveBytesComesBackUnchanged) {
  std::vector<std::uint8_t> message = Header(kCommandPopulateShortNames, 10);
  const char16_t text[] = u"ab;c;";
  message.insert(message.end(), reinterpret_cast<const std::uint8_t*>(text),
                 reinterpret_cast<const std::uint8_t*>(text) + 10);
  auto result = Send(message, 64, 64);
  ASSERT_EQ(result.hresult, S_OK);
  EXPECT_EQ(result.returnedBytes, 12u);
  EXPECT_EQ(TextOf(result.data, 0, result.data.size()), u"ab;c;");
}

TEST_F(ShortNameCommandTest, OversizedNamesAndOutputsAreRefused) {
  std::vector<std::u16string> shortNames;
  // A long name longer than the 1279 characters one name may have.
  auto tooLong =
      client_->Channel().PopulateShortNames({std::u16string(1280, u'a')}, 64, &shortNames);
  EXPECT_EQ(tooLong.hresult, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  // 1279 characters still fit.
  auto fits = client_->Channel().PopulateShortNames({std::u16string(1279, u'a')}, 64, &shortNames);
  EXPECT_EQ(fits.hresult, S_OK);
  // Output larger than the announced capacity.
  auto small = client_->Channel().PopulateShortNames(
      {u"LongFileName.txt", u"Another long name.txt"}, 20, &shortNames);
  EXPECT_EQ(small.hresult, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  // A capacity larger than the output buffer really has.
  std::vector<std::uint8_t> message = Header(kCommandPopulateShortNames, 24);
  message.resize(message.size() + 24, 'a');
  auto lying = Send(message, 16, 64);
  EXPECT_EQ(lying.hresult, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

// A client sizes its output buffer as the 8-byte reply header plus the
// capacity it announces; the capacity is checked against exactly that, and
// the reported length never exceeds the buffer.
TEST_F(ShortNameCommandTest, AnnouncedCapacityIsTheBufferAfterTheReplyHeader) {
  const std::u16string text = u"LongFileName.txt;Another long name.txt;";
  std::vector<std::uint8_t> message =
      Header(kCommandPopulateShortNames, static_cast<std::uint32_t>(text.size() * 2));
  message.insert(message.end(), reinterpret_cast<const std::uint8_t*>(text.data()),
                 reinterpret_cast<const std::uint8_t*>(text.data() + text.size()));
  constexpr ULONG kNeeded = 2 * 13 * 2;  // two 12-character names, each with ';'
  struct Case {
    ULONG outputLength;
    ULONG announced;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {8 + kNeeded, kNeeded, STATUS_SUCCESS, 8 + kNeeded},            // exact fit
      {12 + kNeeded, kNeeded, STATUS_SUCCESS, 12 + kNeeded},          // room to spare
      {8 + kNeeded, kNeeded + 1, STATUS_INVALID_PARAMETER, 0},        // more than the buffer
      {8 + kNeeded - 1, kNeeded - 1, STATUS_INVALID_PARAMETER, 0},    // names do not fit
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> output(c.outputLength + 16, 0xEE);  // guard after the buffer
    CommandReply announced{0, c.announced};
    std::memcpy(output.data(), &announced, sizeof(announced));
    ULONG returned = 0;
    EXPECT_EQ(ResponsePortMessage(nullptr, message.data(), static_cast<ULONG>(message.size()),
                                  output.data(), c.outputLength, &returned),
              c.status)
        << c.outputLength << "/" << c.announced;
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(std::vector<std::uint8_t>(output.begin() + c.outputLength, output.end()),
              std::vector<std::uint8_t>(16, 0xEE));
  }
}

}  // namespace
}  // namespace tavo::testing
