// The agent's map between the three kinds of path it meets: full device
// paths of the merged view (as the driver sends them, under MergedViewRoot
// or SecondaryViewRoot), full device paths of local copies under
// BackendRoot, and server paths relative to the server's root ("docs\a.txt",
// "" for the root itself). Comparisons ignore case, as Windows does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "name_pattern.h"

namespace tavo::agent {

// The longest path Windows can name (a counted string of 16-bit units).
inline constexpr std::size_t kMaxPathChars = 32767;

// The one check of a server path made from a path the driver sent:
// every component legal (CheckComponent), no empty component, the whole
// within kMaxPathChars. "" (the root) is legal. Too long is told apart
// from illegal because a create answers the two differently.
NameVerdict CheckServerPath(std::u16string_view path);

struct ViewRoots {
  std::u16string mergedViewRoot;     // \Device\HarddiskVolume3\Users\alice\Tavo
  std::u16string backendRoot;        // ...\AppData\Local\Tavo\Cache
  std::u16string secondaryViewRoot;  // ...\Users\alice\TavoSecondary
};

class ViewPaths {
 public:
  explicit ViewPaths(ViewRoots roots);

  const ViewRoots& roots() const { return roots_; }

  // A view path (merged or secondary) as a server path; nothing when the
  // path is outside both views or fails CheckServerPath (`verdict` then
  // says why; kIllegal when outside). A trailing backslash is ignored.
  std::optional<std::u16string> ViewToServer(std::u16string_view viewPath,
                                             NameVerdict* verdict = nullptr) const;
  // True when the path is at or under either view root (legal or not).
  bool InView(std::u16string_view path) const;
  // A local-copy path under BackendRoot as a server path.
  std::optional<std::u16string> BackendToServer(std::u16string_view backendPath) const;
  // Either of the above (notifications may name either form).
  std::optional<std::u16string> AnyToServer(std::u16string_view path) const;

  std::u16string ServerToBackend(std::u16string_view serverPath) const;
  std::u16string ServerToView(std::u16string_view serverPath) const;

 private:
  static std::optional<std::u16string> Below(std::u16string_view path, std::u16string_view root,
                                             NameVerdict* verdict);

  ViewRoots roots_;
};

}  // namespace tavo::agent
