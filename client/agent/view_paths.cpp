#include "view_paths.h"

#include "text.h"

namespace tavo::agent {
namespace {

std::u16string WithoutTrailingBackslash(std::u16string path) {
  while (path.size() > 1 && path.back() == u'\\') path.pop_back();
  return path;
}

}  // namespace

NameVerdict CheckServerPath(std::u16string_view path) {
  if (path.empty()) return NameVerdict::kLegal;
  NameVerdict verdict = path.size() > kMaxPathChars ? NameVerdict::kTooLong : NameVerdict::kLegal;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    const NameVerdict part = CheckComponent(path.substr(start, end - start));
    if (part == NameVerdict::kIllegal) return part;
    if (part == NameVerdict::kTooLong) verdict = part;
    if (end == path.size()) return verdict;
    start = end + 1;
  }
}

ViewPaths::ViewPaths(ViewRoots roots) : roots_(std::move(roots)) {
  roots_.mergedViewRoot = WithoutTrailingBackslash(roots_.mergedViewRoot);
  roots_.backendRoot = WithoutTrailingBackslash(roots_.backendRoot);
  roots_.secondaryViewRoot = WithoutTrailingBackslash(roots_.secondaryViewRoot);
}

std::optional<std::u16string> ViewPaths::Below(std::u16string_view path, std::u16string_view root,
                                                NameVerdict* verdict) {
  if (verdict != nullptr) *verdict = NameVerdict::kIllegal;
  if (!IsAtOrUnder(path, root)) return std::nullopt;
  std::u16string_view rest = path.substr(root.size());
  if (!rest.empty() && rest.front() == u'\\') rest.remove_prefix(1);
  if (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
  // Whatever is left ("..", "a\\\\b", "C:", "x\0y", ...) must name an item
  // below the root and nothing else.
  const NameVerdict check = CheckServerPath(rest);
  if (verdict != nullptr) *verdict = check;
  if (check != NameVerdict::kLegal) return std::nullopt;
  return std::u16string(rest);
}

std::optional<std::u16string> ViewPaths::ViewToServer(std::u16string_view viewPath,
                                                      NameVerdict* verdict) const {
  if (IsAtOrUnder(viewPath, roots_.mergedViewRoot))
    return Below(viewPath, roots_.mergedViewRoot, verdict);
  return Below(viewPath, roots_.secondaryViewRoot, verdict);
}

bool ViewPaths::InView(std::u16string_view path) const {
  return IsAtOrUnder(path, roots_.mergedViewRoot) || IsAtOrUnder(path, roots_.secondaryViewRoot);
}

std::optional<std::u16string> ViewPaths::BackendToServer(std::u16string_view backendPath) const {
  return Below(backendPath, roots_.backendRoot, nullptr);
}

std::optional<std::u16string> ViewPaths::AnyToServer(std::u16string_view path) const {
  if (auto rest = BackendToServer(path)) return rest;
  return ViewToServer(path);
}

std::u16string ViewPaths::ServerToBackend(std::u16string_view serverPath) const {
  return serverPath.empty() ? roots_.backendRoot
                            : roots_.backendRoot + u"\\" + std::u16string(serverPath);
}

std::u16string ViewPaths::ServerToView(std::u16string_view serverPath) const {
  return serverPath.empty() ? roots_.mergedViewRoot
                            : roots_.mergedViewRoot + u"\\" + std::u16string(serverPath);
}

}  // namespace tavo::agent
