#include "agent_test_support.h"

#include <stdlib.h>

#include <stdexcept>

#include "harness/volume.h"
#include "listing.h"
#include "text.h"

namespace tavo::agent::testing {

std::filesystem::path MakeSandbox() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::optional<std::vector<std::u16string>> FakeShortNames(
    const std::vector<std::u16string>& names) {
  std::vector<std::u16string> out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::u16string base;
    for (char16_t c : names[i]) {
      if (base.size() == 5) break;
      if (c != u' ' && c != u'.') base += UpcaseUnit(c);
    }
    out.push_back(base + u"~" + static_cast<char16_t>(u'1' + i));
  }
  return out;
}

void AgentFixture::SetUp() {
  sim::fs::VolumeOptions options;
  options.deviceName = kVolume;
  volume_ = sim::harness::MountNewVolume(u'C', options);
  sim::harness::FileSpec cache, staging, view;
  cache.path = u"\\Users\\alice\\AppData\\Local\\Tavo\\Cache";
  cache.directory = true;
  staging.path = u"\\Users\\alice\\AppData\\Local\\Tavo\\Staging";
  staging.directory = true;
  view.path = u"\\Users\\alice\\Tavo";
  view.directory = true;
  ASSERT_EQ(volume_->Populate({cache, staging, view}), STATUS_SUCCESS);
  local_ = std::make_unique<NtLocalFiles>(kVolume, u"C:");
  handler_ = std::make_unique<RequestHandler>(
      ViewPaths({kView, kBackend, kSecondary}), server_, *local_,
      [this](const std::vector<std::u16string>& names) {
        ++shortNameCalls_;
        return FakeShortNames(names);
      },
      state_, kStaging);
}

void AgentFixture::PutLocal(std::u16string_view rest, std::string contents) {
  sim::harness::FileSpec spec;
  spec.path = u"\\Users\\alice\\AppData\\Local\\Tavo\\Cache\\" + std::u16string(rest);
  spec.contents = std::move(contents);
  ASSERT_EQ(volume_->Populate({spec}), STATUS_SUCCESS);
}

std::string AgentFixture::ReadLocal(const std::u16string& path) {
  Bytes bytes;
  if (!local_->ReadAll(path, &bytes)) return "<missing>";
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace tavo::agent::testing
