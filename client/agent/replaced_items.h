// Server items the driver set aside for a replacing rename. A rename that
// replaces a server item reaches the agent as three plain requests: the
// item at the target is renamed aside ("<name>.tavo-replaced", or with
// "-1" to "-9", its name cut to fit), the source is renamed onto the
// target, and the item set aside is deleted; any failure on the way has
// the driver rename it back instead. Should the agent or the driver stop
// between two of them, the item would stay under its aside name. The
// journal records each item set aside, and whether its original name has
// since been taken by the rename, so that a restart finishes the work:
//   - taken: the rename completed; the item set aside is deleted;
//   - not taken, original name free: it gets its name back;
//   - not taken, original name in use by something else: it is kept under
//     its aside name (nothing tells whose the new item is; nothing is lost).
// The journal is kept in a file, rewritten whole (aside, then renamed over
// the old one) at each change, before the server is changed when an item
// is set aside and after it when the name is taken, so that a restart never
// deletes an item whose replacement did not happen. It also records the
// server's file id of the item set aside: a restart touches only that very
// item (not one made under the aside name since, nor an item of another
// server folder), and a line that is not a set-aside is ignored, so that a
// damaged journal cannot have any other item deleted or renamed.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "local_files.h"

namespace tavo::agent {

class ReplacedItems {
 public:
  struct Item {
    std::u16string original;  // server paths
    std::u16string aside;
    std::uint64_t fileId = 0;  // the server's id of the item set aside
    bool taken = false;
    bool operator==(const Item&) const = default;
  };

  // Whether the rename of server path `from` to `to` is the driver setting
  // an item aside: the same folder, and the aside name the driver makes of
  // `from`'s name.
  static bool IsSetAside(const std::u16string& from, const std::u16string& to);

  // Reads the journal kept at `file` (nothing when there is none) and keeps
  // it there from now on.
  void UseFile(LocalFiles& local, std::u16string file);

  void SetAside(const std::u16string& original, const std::u16string& aside,
                std::uint64_t fileId);
  // The item at `aside` is gone or back under its name.
  void Forget(const std::u16string& aside);
  // Something was renamed onto `original`: the rename of the items set
  // aside from it has taken their place.
  void Taken(const std::u16string& original);
  std::vector<Item> Items() const;

 private:
  void SaveLocked();

  mutable std::mutex lock_;
  std::vector<Item> items_;
  LocalFiles* local_ = nullptr;
  std::u16string file_;
};

}  // namespace tavo::agent
