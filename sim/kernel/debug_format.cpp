// The kernel's printf dialect (the subset of the Microsoft C runtime's
// format rules that DbgPrint supports), producing UTF-8.
//
// Conversions: %c %C %s %S %Z %d %i %u %x %X %o %p %n %%, with the flags
// "-+ 0#", widths and precisions (digits or '*'), and the size prefixes h, l,
// ll, w, I, I32, I64. Choices where Windows' documentation is silent:
//   * wide text is written as UTF-8 (an unpaired surrogate as U+FFFD); widths
//     and precisions of wide strings count UTF-16 code units, as the C
//     runtime counts wchar_t;
//   * a null string pointer, or a counted string (%Z, %wZ) whose pointer or
//     Buffer is null, prints "(null)", as the C runtime does; precision does
//     not shorten a counted string;
//   * the '0' flag pads strings and characters with zeros, as the Microsoft
//     runtime does;
//   * %n stores nothing (the argument is consumed); floating-point
//     conversions, which the kernel does not support, consume a double and
//     print the conversion as written; an unknown conversion prints
//     verbatim and consumes nothing.
#include "kernel/debug_format.h"

#include <cstdint>
#include <cstring>

#include "nt/ntdef.h"

namespace sim::kernel {
namespace {

enum class Size { Default, Short, Long, LongLong, Wide, Pointer, Int32, Int64 };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none
  Size size = Size::Default;
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 code units -> UTF-8.
std::string WideToUtf8(const char16_t* text, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

// Pads `body` (whose printed length is `length` characters) to the width.
void AppendPadded(std::string& out, const Spec& spec, const std::string& body, std::size_t length) {
  const std::size_t width = static_cast<std::size_t>(spec.width);
  const std::size_t pad = width > length ? width - length : 0;
  if (spec.left) {
    out += body;
    out.append(pad, ' ');
  } else {
    out.append(pad, spec.zero ? '0' : ' ');
    out += body;
  }
}

bool IsWideForString(const Spec& spec, char conversion) {
  if (spec.size == Size::Long || spec.size == Size::Wide) return true;
  if (spec.size == Size::Short) return false;
  return conversion == 'S' || conversion == 'C';
}

void FormatInteger(std::string& out, const Spec& spec, char conversion, std::uint64_t magnitude,
                   bool negative) {
  unsigned base = 10;
  const char* digits = "0123456789abcdef";
  if (conversion == 'x') base = 16;
  if (conversion == 'X' || conversion == 'p') {
    base = 16;
    digits = "0123456789ABCDEF";
  }
  if (conversion == 'o') base = 8;

  std::string number;
  for (std::uint64_t v = magnitude; v != 0; v /= base)
    number.insert(number.begin(), digits[v % base]);
  const int precision = spec.precision < 0 ? 1 : spec.precision;
  if (static_cast<int>(number.size()) < precision) number.insert(0, precision - number.size(), '0');

  std::string prefix;
  const bool isSigned = conversion == 'd' || conversion == 'i';
  if (isSigned) {
    if (negative)
      prefix = "-";
    else if (spec.plus)
      prefix = "+";
    else if (spec.space)
      prefix = " ";
  }
  if (spec.alternate && magnitude != 0) {
    if (conversion == 'x') prefix = "0x";
    if (conversion == 'X') prefix = "0X";
    if (conversion == 'o' && (number.empty() || number[0] != '0')) prefix = "0";
  }

  const std::size_t length = prefix.size() + number.size();
  const std::size_t width = static_cast<std::size_t>(spec.width);
  // Zero padding goes between the sign/prefix and the digits, and only when
  // no precision was given.
  if (spec.zero && !spec.left && spec.precision < 0 && width > length) {
    number.insert(0, width - length, '0');
  }
  Spec plain = spec;
  plain.zero = false;
  AppendPadded(out, plain, prefix + number, prefix.size() + number.size());
}

class Formatter {
 public:
  Formatter(const char* format, __builtin_ms_va_list args) : p_(format), args_(args) {}

  FormattedMessage Run() {
    while (*p_ != '\0') {
      if (*p_ != '%') {
        result_.text += *p_++;
        continue;
      }
      const char* start = p_++;
      if (!Conversion()) result_.text.append(start, p_ - start);
    }
    return std::move(result_);
  }

 private:
  // The Microsoft x64 argument list is a plain pointer into the caller's
  // arguments, one 8-byte slot each (a double's slot holds its bits too).
  // GCC's va_arg reads such a list only inside an ms_abi routine, so the
  // slots are read here directly.
  template <typename T>
  T Arg() {
    static_assert(sizeof(T) <= 8);
    T value;
    std::memcpy(&value, args_, sizeof(T));
    args_ += 8;
    return value;
  }
  int IntArg() { return Arg<int>(); }

  // Parses and formats one specification; false when it is not understood
  // (the caller prints it verbatim).
  bool Conversion() {
    Spec spec;
    for (;; ++p_) {
      if (*p_ == '-')
        spec.left = true;
      else if (*p_ == '+')
        spec.plus = true;
      else if (*p_ == ' ')
        spec.space = true;
      else if (*p_ == '#')
        spec.alternate = true;
      else if (*p_ == '0')
        spec.zero = true;
      else
        break;
    }
    if (*p_ == '*') {
      ++p_;
      spec.width = IntArg();
      if (spec.width < 0) {
        spec.left = true;
        spec.width = -spec.width;
      }
    } else {
      while (*p_ >= '0' && *p_ <= '9') spec.width = spec.width * 10 + (*p_++ - '0');
    }
    if (*p_ == '.') {
      ++p_;
      spec.precision = 0;
      if (*p_ == '*') {
        ++p_;
        spec.precision = IntArg();
        if (spec.precision < 0) spec.precision = -1;
      } else {
        while (*p_ >= '0' && *p_ <= '9') spec.precision = spec.precision * 10 + (*p_++ - '0');
      }
    }
    if (spec.left) spec.zero = false;

    if (*p_ == 'h') {
      spec.size = Size::Short;
      ++p_;
    } else if (*p_ == 'l' && p_[1] == 'l') {
      spec.size = Size::LongLong;
      p_ += 2;
    } else if (*p_ == 'l') {
      spec.size = Size::Long;
      ++p_;
    } else if (*p_ == 'w') {
      spec.size = Size::Wide;
      ++p_;
    } else if (*p_ == 'I' && p_[1] == '6' && p_[2] == '4') {
      spec.size = Size::Int64;
      p_ += 3;
    } else if (*p_ == 'I' && p_[1] == '3' && p_[2] == '2') {
      spec.size = Size::Int32;
      p_ += 3;
    } else if (*p_ == 'I') {
      spec.size = Size::Pointer;
      ++p_;
    }

    const char conversion = *p_;
    if (conversion == '\0') return false;
    ++p_;
    switch (conversion) {
      case '%':
        result_.text += '%';
        return true;
      case 'c':
      case 'C':
        Character(spec, conversion);
        return true;
      case 's':
      case 'S':
        String(spec, conversion);
        return true;
      case 'Z':
        CountedString(spec);
        return true;
      case 'd':
      case 'i':
        Signed(spec, conversion);
        return true;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        Unsigned(spec, conversion);
        return true;
      case 'p': {
        Spec pointer = spec;
        pointer.precision = 2 * static_cast<int>(sizeof(void*));
        pointer.alternate = false;
        FormatInteger(result_.text, pointer, 'p',
                      reinterpret_cast<std::uintptr_t>(Arg<void*>()), false);
        return true;
      }
      case 'n':
        (void)Arg<void*>();
        return true;
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        (void)Arg<double>();
        return false;
      default:
        return false;
    }
  }

  void Character(const Spec& spec, char conversion) {
    std::string body;
    if (IsWideForString(spec, conversion)) {
      result_.usedUnicodeCodes = true;
      const char16_t unit = static_cast<char16_t>(IntArg());
      body = WideToUtf8(&unit, 1);
    } else {
      body += static_cast<char>(IntArg());
    }
    AppendPadded(result_.text, spec, body, 1);
  }

  void String(const Spec& spec, char conversion) {
    if (IsWideForString(spec, conversion)) {
      result_.usedUnicodeCodes = true;
      const auto* text = Arg<const char16_t*>();
      if (text == nullptr) return Null(spec);
      std::size_t count = 0;
      while ((spec.precision < 0 || count < static_cast<std::size_t>(spec.precision)) &&
             text[count] != 0) {
        ++count;
      }
      AppendPadded(result_.text, spec, WideToUtf8(text, count), count);
    } else {
      const char* text = Arg<const char*>();
      if (text == nullptr) return Null(spec);
      std::size_t count = 0;
      while ((spec.precision < 0 || count < static_cast<std::size_t>(spec.precision)) &&
             text[count] != 0) {
        ++count;
      }
      AppendPadded(result_.text, spec, std::string(text, count), count);
    }
  }

  void CountedString(const Spec& spec) {
    const bool wide = spec.size == Size::Wide || spec.size == Size::Long;
    if (wide) {
      result_.usedUnicodeCodes = true;
      const auto* s = Arg<const UNICODE_STRING*>();
      if (s == nullptr || s->Buffer == nullptr) return Null(spec);
      const std::size_t count = s->Length / sizeof(WCHAR);
      AppendPadded(result_.text, spec,
                   WideToUtf8(reinterpret_cast<const char16_t*>(s->Buffer), count), count);
    } else {
      const auto* s = Arg<const STRING*>();
      if (s == nullptr || s->Buffer == nullptr) return Null(spec);
      AppendPadded(result_.text, spec, std::string(s->Buffer, s->Length), s->Length);
    }
  }

  void Null(const Spec& spec) {
    std::string text = "(null)";
    if (spec.precision >= 0 && static_cast<std::size_t>(spec.precision) < text.size()) {
      text.resize(static_cast<std::size_t>(spec.precision));
    }
    AppendPadded(result_.text, spec, text, text.size());
  }

  void Signed(const Spec& spec, char conversion) {
    std::int64_t value;
    switch (spec.size) {
      case Size::LongLong:
      case Size::Int64:
      case Size::Pointer:
        value = Arg<long long>();
        break;
      case Size::Short:
        value = static_cast<short>(IntArg());
        break;
      default:
        value = IntArg();  // int and long are both 32-bit on Windows
        break;
    }
    const bool negative = value < 0;
    const std::uint64_t magnitude =
        negative ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(value)
                 : static_cast<std::uint64_t>(value);
    FormatInteger(result_.text, spec, conversion, magnitude, negative);
  }

  void Unsigned(const Spec& spec, char conversion) {
    std::uint64_t value;
    switch (spec.size) {
      case Size::LongLong:
      case Size::Int64:
      case Size::Pointer:
        value = Arg<unsigned long long>();
        break;
      case Size::Short:
        value = static_cast<unsigned short>(IntArg());
        break;
      default:
        value = static_cast<unsigned int>(IntArg());
        break;
    }
    FormatInteger(result_.text, spec, conversion, value, false);
  }

  const char* p_;
  const char* args_;
  FormattedMessage result_;
};

}  // namespace

FormattedMessage FormatDebugMessage(const char* format, __builtin_ms_va_list args) {
  if (format == nullptr) return {};
  return Formatter(format, args).Run();
}

}  // namespace sim::kernel
