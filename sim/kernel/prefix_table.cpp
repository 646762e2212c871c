// Unicode prefix tables: the longest entry that is a whole name or one of
// its leading path components.
//
// The caller's UNICODE_PREFIX_TABLE and UNICODE_PREFIX_TABLE_ENTRY keep the
// documented layout and are filled in as Windows does (node type codes, the
// name length in components, self-linked splay links and case-match ring),
// but the search structure lives in simulation memory, keyed by the table's
// address: a hash of the upcased prefixes, so a lookup probes each
// backslash-prefix of the name (longest first) instead of walking entries,
// plus the entries in insertion order for enumeration.
//
// Matching: an entry matches a name when it equals the whole name, or is a
// prefix of it followed by a backslash in the name (or ending with one
// itself, as the root "\" does). "\a\b" matches "\a\b" and "\a\b\c", not
// "\a\bc". Characters before CaseInsensitiveIndex compare exactly, the rest
// ignoring case. Insertion refuses a prefix already present ignoring case
// (Windows would instead chain the case variant on the CaseMatch ring; the
// simulation does not model case variants, whose lookups are ambiguous).
//
// The verifier reports (Check::String) tables used before
// RtlInitializeUnicodePrefix, removal of an entry the table does not hold,
// inserting an entry that is still in a table, prefixes that do not begin
// with a backslash, and pool freed while it holds an entry that is still in
// a table which lives on. Freeing a whole table (with or without its
// entries) forgets it silently: abandoning a table is allowed.
#include <algorithm>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kernel/lifecycle.h"
#include "kernel/pool.h"
#include "kernel/rtl_string_checks.h"
#include "kernel/upcase_table.h"
#include "nt/rtl.h"
#include "verifier/verifier.h"

// The documented x64 layouts.
static_assert(sizeof(UNICODE_PREFIX_TABLE) == 24);
static_assert(sizeof(UNICODE_PREFIX_TABLE_ENTRY) == 56);
static_assert(FIELD_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, Links) == 24);
static_assert(FIELD_OFFSET(UNICODE_PREFIX_TABLE_ENTRY, Prefix) == 48);

namespace sim::kernel {
namespace {

using Entry = PUNICODE_PREFIX_TABLE_ENTRY;
using Table = const UNICODE_PREFIX_TABLE*;

// Node type codes Windows stamps on prefix-table structures.
constexpr CSHORT kTableNodeType = 0x0800;
constexpr CSHORT kRootEntryNodeType = 0x0801;

struct Member {
  std::u16string key;  // the upcased prefix
  std::list<Entry>::iterator position;
};

struct TableState {
  std::unordered_map<std::u16string, Entry> byKey;
  std::unordered_map<Entry, Member> members;
  std::list<Entry> order;  // insertion order
  // What RtlNextUnicodePrefix(FALSE) returns next; order.end() when done.
  std::list<Entry>::iterator cursor = order.end();
};

// Callers synchronise each table; this lock guards the maps below, which
// every table shares. Both are ordered by address so that a freed pool
// block's tables and entries can be found.
std::mutex g_lock;
std::map<Table, TableState> g_tables;
std::map<Entry, Table> g_entryOwner;  // the table each linked entry is in

// Unlinks `entry` from `state` (it must be a member).
void Unlink(Table table, TableState& state, Entry entry) {
  auto member = state.members.find(entry);
  if (state.cursor == member->second.position) ++state.cursor;
  if (table->LastNextEntry == entry)
    const_cast<UNICODE_PREFIX_TABLE*>(table)->LastNextEntry = nullptr;
  state.order.erase(member->second.position);
  state.byKey.erase(member->second.key);
  state.members.erase(member);
  g_entryOwner.erase(entry);
}

// Forgets a table and the entries linked into it.
void ForgetTable(std::map<Table, TableState>::iterator table) {
  for (const auto& [entry, member] : table->second.members) g_entryOwner.erase(entry);
  g_tables.erase(table);
}

// A pool block is being freed: tables in it are abandoned (forgotten);
// entries in it that are still linked into a surviving table are a
// use-after-free in waiting, reported and unlinked.
void OnPoolFree(const void* block, std::size_t size) {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const auto end = begin + size;
  auto inBlock = [&](const void* p) { return reinterpret_cast<std::uintptr_t>(p) < end; };
  std::lock_guard guard(g_lock);
  if (g_tables.empty()) return;
  for (auto it = g_tables.lower_bound(static_cast<Table>(block));
       it != g_tables.end() && inBlock(it->first);) {
    ForgetTable(it++);
  }
  for (auto it = g_entryOwner.lower_bound(static_cast<Entry>(const_cast<void*>(block)));
       it != g_entryOwner.end() && inBlock(it->first);) {
    const auto [entry, table] = *it++;
    TableState& state = g_tables.at(table);
    verifier::Report(
        verifier::Check::String,
        "pool freed while it holds the prefix-table entry for " +
            DescribeForMessage(state.members.at(entry).key) +
            " (upcased), still in its table: remove it with RtlRemoveUnicodePrefix first");
    Unlink(table, state, entry);
  }
}

const ResetHookRegistration g_reset(ResetOrder::Kernel, [] {
  std::lock_guard guard(g_lock);
  g_tables.clear();
  g_entryOwner.clear();
});

struct PoolHookRegistration {
  PoolHookRegistration() { pool::AddFreeHook(OnPoolFree); }
} const g_poolHook;

std::u16string Upcased(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = static_cast<char16_t>(UpcaseChar(static_cast<WCHAR>(c)));
  return out;
}

// Number of path components, the NameLength Windows records.
CSHORT ComponentCount(std::u16string_view name) {
  int count = 0;
  bool inName = false;
  for (char16_t c : name) {
    if (c == u'\\') {
      inName = false;
    } else if (!inName) {
      inName = true;
      ++count;
    }
  }
  return static_cast<CSHORT>(count);
}

// The table's state, or nullptr after reporting a table used uninitialised.
TableState* StateOf(PUNICODE_PREFIX_TABLE table, const char* routine) {
  auto it = table == nullptr ? g_tables.end() : g_tables.find(table);
  if (it == g_tables.end() || table->NodeTypeCode != kTableNodeType) {
    verifier::Report(verifier::Check::String,
                     std::string(routine) +
                         ": prefix table was not initialised with RtlInitializeUnicodePrefix");
    return nullptr;
  }
  return &it->second;
}

// The upcased key under which the entry is still linked into a table, or
// nullptr. An entry whose memory no longer carries what insertion wrote was
// reused by its owner (a table abandoned on the stack, say): its old link is
// stale and is dropped.
const std::u16string* LinkedKey(Entry entry) {
  auto owner = g_entryOwner.find(entry);
  if (owner == g_entryOwner.end()) return nullptr;
  TableState& state = g_tables.at(owner->second);
  if (entry->NodeTypeCode == kRootEntryNodeType) return &state.members.at(entry).key;
  Unlink(owner->second, state, entry);
  return nullptr;
}

}  // namespace
}  // namespace sim::kernel

using namespace sim::kernel;  // this file's helpers above

extern "C" {

VOID NTAPI RtlInitializeUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable) {
  std::lock_guard guard(g_lock);
  PrefixTable->NodeTypeCode = kTableNodeType;
  PrefixTable->NameLength = 0;
  // As on Windows, an empty table's list of trees points back at the table.
  PrefixTable->NextPrefixTree = reinterpret_cast<PUNICODE_PREFIX_TABLE_ENTRY>(PrefixTable);
  PrefixTable->LastNextEntry = nullptr;
  // Re-initialising forgets whatever the table held.
  if (auto old = g_tables.find(PrefixTable); old != g_tables.end()) ForgetTable(old);
  g_tables.try_emplace(PrefixTable);
}

BOOLEAN NTAPI RtlInsertUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable, PUNICODE_STRING Prefix,
                                     PUNICODE_PREFIX_TABLE_ENTRY PrefixTableEntry) {
  std::lock_guard guard(g_lock);
  TableState* state = StateOf(PrefixTable, "RtlInsertUnicodePrefix");
  if (state == nullptr) return FALSE;
  if (!CheckUnicodeString(Prefix, "RtlInsertUnicodePrefix", "Prefix")) return FALSE;
  const auto chars = CharsOf(*Prefix);
  // The documentation calls a prefix well formed when it begins with a
  // backslash, but Windows does not check it (nor does Driver Verifier): a
  // name without one is a single component, and tables of plain names (such
  // as process image names) work. Only an empty prefix is refused.
  if (chars.empty()) {
    sim::verifier::Report(sim::verifier::Check::String, "RtlInsertUnicodePrefix: empty prefix");
    return FALSE;
  }
  if (const std::u16string* linkedAs = LinkedKey(PrefixTableEntry)) {
    sim::verifier::Report(sim::verifier::Check::String,
                          "RtlInsertUnicodePrefix: entry for " + DescribeForMessage(chars) +
                              " is already in a prefix table, as " + DescribeForMessage(*linkedAs));
    return FALSE;
  }
  std::u16string key = Upcased(chars);
  if (state->byKey.count(key) != 0) return FALSE;

  PrefixTableEntry->NodeTypeCode = kRootEntryNodeType;
  PrefixTableEntry->NameLength = ComponentCount(chars);
  PrefixTableEntry->NextPrefixTree = nullptr;
  PrefixTableEntry->CaseMatch = PrefixTableEntry;
  PrefixTableEntry->Links.Parent = &PrefixTableEntry->Links;
  PrefixTableEntry->Links.LeftChild = PrefixTableEntry->Links.RightChild = nullptr;
  PrefixTableEntry->Prefix = Prefix;

  state->byKey.emplace(key, PrefixTableEntry);
  auto position = state->order.insert(state->order.end(), PrefixTableEntry);
  state->members.emplace(PrefixTableEntry, Member{std::move(key), position});
  g_entryOwner.emplace(PrefixTableEntry, PrefixTable);
  return TRUE;
}

VOID NTAPI RtlRemoveUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                  PUNICODE_PREFIX_TABLE_ENTRY PrefixTableEntry) {
  std::lock_guard guard(g_lock);
  TableState* state = StateOf(PrefixTable, "RtlRemoveUnicodePrefix");
  if (state == nullptr) return;
  if (state->members.count(PrefixTableEntry) == 0) {
    sim::verifier::Report(sim::verifier::Check::String,
                          "RtlRemoveUnicodePrefix: entry is not in this prefix table");
    return;
  }
  Unlink(PrefixTable, *state, PrefixTableEntry);
}

// Probes the whole name, then each prefix that ends at a backslash (with
// and without that backslash), longest first.
PUNICODE_PREFIX_TABLE_ENTRY NTAPI RtlFindUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                                       PCUNICODE_STRING FullName,
                                                       ULONG CaseInsensitiveIndex) {
  std::lock_guard guard(g_lock);
  TableState* state = StateOf(PrefixTable, "RtlFindUnicodePrefix");
  if (state == nullptr) return nullptr;
  if (!CheckUnicodeString(FullName, "RtlFindUnicodePrefix", "FullName")) return nullptr;
  const auto name = CharsOf(*FullName);
  if (name.empty() || state->byKey.empty()) return nullptr;
  const std::u16string upcased = Upcased(name);

  auto probe = [&](std::size_t length) -> PUNICODE_PREFIX_TABLE_ENTRY {
    auto it = state->byKey.find(upcased.substr(0, length));
    if (it == state->byKey.end()) return nullptr;
    PUNICODE_PREFIX_TABLE_ENTRY entry = it->second;
    // Characters before CaseInsensitiveIndex must match exactly.
    const std::size_t exact = std::min<std::size_t>(CaseInsensitiveIndex, length);
    if (CharsOf(*entry->Prefix).substr(0, exact) != name.substr(0, exact)) return nullptr;
    return entry;
  };

  if (auto* whole = probe(name.size())) return whole;
  for (std::size_t i = name.size(); i-- > 0;) {
    if (name[i] != u'\\') continue;
    if (i + 1 < name.size()) {
      if (auto* withSeparator = probe(i + 1)) return withSeparator;
    }
    if (i > 0) {
      if (auto* component = probe(i)) return component;
    }
  }
  return nullptr;
}

// Entries come back in insertion order. Removing any entry (the one last
// returned included) keeps the walk valid, and a restart after each removal
// visits what is left.
PUNICODE_PREFIX_TABLE_ENTRY NTAPI RtlNextUnicodePrefix(PUNICODE_PREFIX_TABLE PrefixTable,
                                                       BOOLEAN Restart) {
  std::lock_guard guard(g_lock);
  TableState* state = StateOf(PrefixTable, "RtlNextUnicodePrefix");
  if (state == nullptr) return nullptr;
  if (Restart) state->cursor = state->order.begin();
  if (state->cursor == state->order.end()) {
    PrefixTable->LastNextEntry = nullptr;
    return nullptr;
  }
  PUNICODE_PREFIX_TABLE_ENTRY entry = *state->cursor++;
  PrefixTable->LastNextEntry = entry;
  return entry;
}

}  // extern "C"
