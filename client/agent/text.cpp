#include "text.h"

#include <ntapi.h>

namespace tavo::agent {

// Names compare as the file system compares them: through the system's
// own case table, which NTFS's is made from.
char16_t UpcaseUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  return static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
}

std::u16string Upcase(std::u16string_view text) {
  std::u16string result(text);
  for (char16_t& c : result) c = UpcaseUnit(c);
  return result;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpcaseUnit(a[i]) != UpcaseUnit(b[i])) return false;
  }
  return true;
}

bool IsAtOrUnder(std::u16string_view path, std::u16string_view root) {
  if (root.empty() || path.size() < root.size()) return false;
  if (!EqualsIgnoreCase(path.substr(0, root.size()), root)) return false;
  return path.size() == root.size() || path[root.size()] == u'\\' || root.back() == u'\\';
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    char32_t c;
    if (lead < 0x80) {
      extra = 0, c = lead;
    } else if ((lead >> 5) == 6) {
      extra = 1, c = lead & 0x1F;
    } else if ((lead >> 4) == 14) {
      extra = 2, c = lead & 0x0F;
    } else if ((lead >> 3) == 30) {
      extra = 3, c = lead & 0x07;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool ok = i + extra < text.size();
    for (std::size_t k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!ok) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::vector<std::u16string> SplitComponents(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::u16string JoinRelative(std::u16string_view parent, std::u16string_view name) {
  if (parent.empty()) return std::u16string(name);
  std::u16string joined(parent);
  if (joined.back() != u'\\') joined += u'\\';
  joined += name;
  return joined;
}

std::u16string ParentOf(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? std::u16string()
                                            : std::u16string(path.substr(0, slash));
}

std::u16string LeafOf(std::u16string_view path) {
  const std::size_t slash = path.rfind(u'\\');
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace tavo::agent
