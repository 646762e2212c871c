// The agent's map between the three kinds of path it meets: full device
// paths of the merged view (as the driver sends them, under MergedViewRoot
// or SecondaryViewRoot), full device paths of local copies under
// BackendRoot, and server paths relative to the server's root ("docs\a.txt",
// "" for the root itself). Comparisons ignore case, as Windows does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavo::agent {

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
  // path is outside both views. A trailing backslash is ignored.
  std::optional<std::u16string> ViewToServer(std::u16string_view viewPath) const;
  // A local-copy path under BackendRoot as a server path.
  std::optional<std::u16string> BackendToServer(std::u16string_view backendPath) const;
  // Either of the above (notifications may name either form).
  std::optional<std::u16string> AnyToServer(std::u16string_view path) const;

  std::u16string ServerToBackend(std::u16string_view serverPath) const;
  std::u16string ServerToView(std::u16string_view serverPath) const;

 private:
  static std::optional<std::u16string> Below(std::u16string_view path, std::u16string_view root);

  ViewRoots roots_;
};

}  // namespace tavo::agent
