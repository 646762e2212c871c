// File-name pattern matching: FsRtlIsNameInExpression and
// FsRtlDoesNameContainWildCards.
//
// The expression is run as a set of positions (an NFA simulation), one name
// character at a time, so matching costs O(name x expression) whatever the
// pattern; "*a*a*a*a*b" is no worse than "abc".
//
// Wildcards:
//   *         zero or more characters
//   ?         exactly one character
//   DOS_STAR  (<) zero or more characters, but never the name's last period:
//             it stops so that what follows can match that period
//   DOS_QM    (>) one character; at a period or the end of the name it matches
//             nothing instead, so a run of them stops there
//   DOS_DOT   (") a period, or nothing at the end of the name
#include <algorithm>
#include <vector>

#include "kernel/rtl_string_checks.h"
#include "kernel/upcase_table.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

namespace sim::kernel {
namespace {

bool IsWildcard(char16_t c) {
  return c == u'*' || c == u'?' || c == DOS_STAR || c == DOS_QM || c == DOS_DOT;
}

class ExpressionMatcher {
 public:
  ExpressionMatcher(std::u16string_view expression, std::u16string_view name)
      : expression_(expression), name_(name), lastDot_(name.rfind(u'.')) {}

  bool Matches() {
    std::vector<char> current(expression_.size() + 1, 0), next(expression_.size() + 1, 0);
    current[0] = 1;
    Close(current, 0);
    for (std::size_t i = 0; i < name_.size(); ++i) {
      std::fill(next.begin(), next.end(), 0);
      bool any = false;
      for (std::size_t p = 0; p < expression_.size(); ++p) {
        if (!current[p]) continue;
        any = true;
        Step(p, i, next);
      }
      if (!any) return false;
      Close(next, i + 1);
      current.swap(next);
    }
    return current[expression_.size()] != 0;
  }

 private:
  // Adds the positions reachable without consuming a character, given that
  // the next name character is name_[i] (or the name has ended).
  void Close(std::vector<char>& states, std::size_t i) const {
    const bool atEnd = i == name_.size();
    const bool atPeriod = !atEnd && name_[i] == u'.';
    // Empty moves only go forward, so one ascending pass reaches them all.
    for (std::size_t p = 0; p < expression_.size(); ++p) {
      if (!states[p]) continue;
      const char16_t e = expression_[p];
      const bool skips = e == u'*' || e == DOS_STAR || (e == DOS_QM && (atEnd || atPeriod)) ||
                         (e == DOS_DOT && atEnd);
      if (skips) states[p + 1] = 1;
    }
  }

  // Positions reached from p by consuming name_[i].
  void Step(std::size_t p, std::size_t i, std::vector<char>& next) const {
    const char16_t c = name_[i];
    const char16_t e = expression_[p];
    switch (e) {
      case u'*':
        next[p] = 1;
        break;
      case DOS_STAR:
        if (i != lastDot_) next[p] = 1;
        break;
      case u'?':
        next[p + 1] = 1;
        break;
      case DOS_QM:
        if (c != u'.') next[p + 1] = 1;
        break;
      case DOS_DOT:
        if (c == u'.') next[p + 1] = 1;
        break;
      default:
        if (c == e) next[p + 1] = 1;
        break;
    }
  }

  std::u16string_view expression_;
  std::u16string_view name_;
  std::size_t lastDot_;
};

}  // namespace
}  // namespace sim::kernel

using sim::kernel::CharsOf;
using sim::kernel::CheckUnicodeString;

extern "C" {

BOOLEAN NTAPI FsRtlDoesNameContainWildCards(PUNICODE_STRING Name) {
  if (!CheckUnicodeString(Name, "FsRtlDoesNameContainWildCards", "Name")) return FALSE;
  for (char16_t c : CharsOf(*Name)) {
    if (sim::kernel::IsWildcard(c)) return TRUE;
  }
  return FALSE;
}

// With IgnoreCase the name is upcased (through UpcaseTable when given) and
// the expression is taken as already upcased, as documented. An empty name
// matches only an empty expression, and the reverse.
//
// The verifier reports the two documented preconditions Windows does not
// check (the result is computed as Windows would anyway): a name holding
// wildcards (arguments swapped?) and, with IgnoreCase, an expression that
// is not upper case (it can never match a lower-case letter).
BOOLEAN NTAPI FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                      BOOLEAN IgnoreCase, PWCH UpcaseTable) {
  if (!CheckUnicodeString(Expression, "FsRtlIsNameInExpression", "Expression") ||
      !CheckUnicodeString(Name, "FsRtlIsNameInExpression", "Name")) {
    return FALSE;
  }
  const auto expression = CharsOf(*Expression);
  auto name = CharsOf(*Name);
  if (std::any_of(name.begin(), name.end(), sim::kernel::IsWildcard)) {
    sim::verifier::Report(sim::verifier::Check::String,
                          "FsRtlIsNameInExpression: Name " + sim::kernel::DescribeForMessage(name) +
                              " contains wildcards (expression " +
                              sim::kernel::DescribeForMessage(expression) + ")");
  }
  if (IgnoreCase) {
    const bool upcased = std::all_of(expression.begin(), expression.end(), [&](char16_t c) {
      const WCHAR upper =
          UpcaseTable != nullptr ? UpcaseTable[c] : sim::kernel::UpcaseChar(static_cast<WCHAR>(c));
      return static_cast<char16_t>(upper) == c;
    });
    if (!upcased) {
      sim::verifier::Report(
          sim::verifier::Check::String,
          "FsRtlIsNameInExpression: IgnoreCase with an expression that is not upper case: " +
              sim::kernel::DescribeForMessage(expression));
    }
  }
  if (expression.empty() || name.empty()) return expression.empty() && name.empty();
  std::u16string upcased;
  if (IgnoreCase) {
    upcased.assign(name);
    for (auto& c : upcased) {
      c = UpcaseTable != nullptr
              ? static_cast<char16_t>(UpcaseTable[c])
              : static_cast<char16_t>(sim::kernel::UpcaseChar(static_cast<WCHAR>(c)));
    }
    name = upcased;
  }
  return sim::kernel::ExpressionMatcher(expression, name).Matches() ? TRUE : FALSE;
}

}  // extern "C"
