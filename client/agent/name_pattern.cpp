#include "name_pattern.h"

#include <vector>

#include "text.h"

namespace tavo::agent {
namespace {

constexpr char16_t kDosStar = u'<';
constexpr char16_t kDosQm = u'>';
constexpr char16_t kDosDot = u'"';

}  // namespace

// A set-of-positions walk over the pattern: after each name character the
// set holds every pattern position the name so far can have reached.
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
  const std::u16string p = Upcase(pattern);
  const std::u16string n = Upcase(name);
  const std::size_t lastDot = n.rfind(u'.');
  std::vector<char> states(p.size() + 1, 0), next(p.size() + 1, 0);

  // Adds the positions a wildcard lets the walk reach without a character,
  // given what comes next in the name (index i).
  auto close = [&](std::vector<char>& set, std::size_t i) {
    const bool atEnd = i == n.size();
    const bool atPeriod = !atEnd && n[i] == u'.';
    for (std::size_t k = 0; k < p.size(); ++k) {
      if (!set[k]) continue;
      const char16_t e = p[k];
      if (e == u'*' || e == kDosStar || (e == kDosQm && (atEnd || atPeriod)) ||
          (e == kDosDot && atEnd)) {
        set[k + 1] = 1;
      }
    }
  };

  states[0] = 1;
  close(states, 0);
  for (std::size_t i = 0; i < n.size(); ++i) {
    std::fill(next.begin(), next.end(), 0);
    bool alive = false;
    const char16_t c = n[i];
    for (std::size_t k = 0; k < p.size(); ++k) {
      if (!states[k]) continue;
      alive = true;
      switch (p[k]) {
        case u'*':
          next[k] = 1;
          break;
        case kDosStar:
          if (i != lastDot) next[k] = 1;
          break;
        case u'?':
          next[k + 1] = 1;
          break;
        case kDosQm:
          if (c != u'.') next[k + 1] = 1;
          break;
        case kDosDot:
          if (c == u'.') next[k + 1] = 1;
          break;
        default:
          if (c == p[k]) next[k + 1] = 1;
          break;
      }
    }
    if (!alive) return false;
    close(next, i + 1);
    states.swap(next);
  }
  return states[p.size()] != 0;
}

bool IsLegalPattern(std::u16string_view pattern) {
  if (pattern.empty() || pattern.size() > 255) return false;
  for (char16_t c : pattern) {
    if (c < 0x20 || c == u'/' || c == u'\\' || c == u':' || c == u'|') return false;
  }
  return true;
}

namespace {

// Names Windows keeps for devices in every folder, with or without an
// extension ("NUL.txt" opens the device through the Win32 API too).
bool IsDeviceName(std::u16string_view name) {
  std::u16string base = Upcase(name.substr(0, name.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (base == device) return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, u"COM") != 0 && base.compare(0, 3, u"LPT") != 0))
    return false;
  // COM0-COM9 and LPT0-LPT9, and the superscript digits 1, 2 and 3.
  const char16_t digit = base[3];
  return (digit >= u'0' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

NameVerdict CheckComponent(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return NameVerdict::kIllegal;
  for (char16_t c : name) {
    if (c < 0x20) return NameVerdict::kIllegal;
    switch (c) {
      case u'"':
      case u'*':
      case u'/':
      case u':':
      case u'<':
      case u'>':
      case u'?':
      case u'\\':
      case u'|':
        return NameVerdict::kIllegal;
      default:
        break;
    }
  }
  // Win32 strips trailing dots and spaces, so such a name could not be
  // reached again by the name it was made with.
  if (name.back() == u'.' || name.back() == u' ') return NameVerdict::kIllegal;
  if (IsDeviceName(name)) return NameVerdict::kIllegal;
  return name.size() > kMaxComponentChars ? NameVerdict::kTooLong : NameVerdict::kLegal;
}

bool IsLegalComponent(std::u16string_view name) {
  return CheckComponent(name) == NameVerdict::kLegal;
}

bool IsShortFormName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  const std::size_t dot = name.find(u'.');
  const std::u16string_view base = name.substr(0, dot);
  const std::u16string_view extension =
      dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
  if (dot != std::u16string_view::npos && extension.empty()) return false;
  if (extension.find(u'.') != std::u16string_view::npos) return false;
  for (char16_t c : name.substr(0, name.size())) {
    if (c == u'.') continue;
    if (c >= 0x80 || c <= 0x20) return false;
    switch (c) {
      case u'"':
      case u'*':
      case u'+':
      case u',':
      case u'/':
      case u':':
      case u';':
      case u'<':
      case u'=':
      case u'>':
      case u'?':
      case u'[':
      case u'\\':
      case u']':
      case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace tavo::agent
