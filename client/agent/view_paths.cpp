#include "view_paths.h"

#include "text.h"

namespace tavo::agent {
namespace {

std::u16string WithoutTrailingBackslash(std::u16string path) {
  while (path.size() > 1 && path.back() == u'\\') path.pop_back();
  return path;
}

}  // namespace

ViewPaths::ViewPaths(ViewRoots roots) : roots_(std::move(roots)) {
  roots_.mergedViewRoot = WithoutTrailingBackslash(roots_.mergedViewRoot);
  roots_.backendRoot = WithoutTrailingBackslash(roots_.backendRoot);
  roots_.secondaryViewRoot = WithoutTrailingBackslash(roots_.secondaryViewRoot);
}

std::optional<std::u16string> ViewPaths::Below(std::u16string_view path, std::u16string_view root) {
  if (!IsAtOrUnder(path, root)) return std::nullopt;
  std::u16string rest(path.substr(root.size()));
  while (!rest.empty() && rest.front() == u'\\') rest.erase(rest.begin());
  while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
  // "a\\b" would name nothing the server holds: refuse empty components.
  if (rest.find(u"\\\\") != std::u16string::npos) return std::nullopt;
  return rest;
}

std::optional<std::u16string> ViewPaths::ViewToServer(std::u16string_view viewPath) const {
  if (auto rest = Below(viewPath, roots_.mergedViewRoot)) return rest;
  return Below(viewPath, roots_.secondaryViewRoot);
}

std::optional<std::u16string> ViewPaths::BackendToServer(std::u16string_view backendPath) const {
  return Below(backendPath, roots_.backendRoot);
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
