// Access tokens and the access check, as far as the simulation's securable
// objects need them (the Filter Manager's communication ports).
//
// Each account's token holds these SIDs, all enabled:
//   StandardUser:  the user (S-1-5-21-1004336348-1177238915-682003330-1001),
//                  Everyone, Users, Authenticated Users;
//   Administrator: the same user and groups plus Administrators (an elevated
//                  token);
//   LocalSystem:   SYSTEM, Administrators, Everyone, Authenticated Users.
// Privileges, restricted SIDs and integrity levels are not modelled.
#pragma once

#include <vector>

#include "kernel/process_table.h"
#include "kernel/security_descriptor.h"

namespace sim::kernel::security {

std::vector<Bytes> TokenSids(Account account);

// The DACL walk of an access check, as documented for AccessCheck: no DACL
// (absent, or a NULL DACL) grants everything; otherwise the ACEs are taken
// in order, an access-denied ACE naming one of `sids` refuses the bits of
// `desired` not granted before it, an access-allowed ACE naming one grants
// its bits; `desired` must be granted whole. GENERIC_ALL in an ACE's mask
// stands for `allAccess` (the object type's generic mapping); inherit-only
// ACEs and other ACE types are skipped. `descriptor` is absolute or self-relative.
bool AccessGranted(PSECURITY_DESCRIPTOR descriptor, const std::vector<Bytes>& sids,
                   ACCESS_MASK desired, ACCESS_MASK allAccess);

// A self-relative copy of an absolute or self-relative descriptor (empty
// when it is not valid), for objects that keep the descriptor they were
// created with after the creator frees its own.
Bytes CopyDescriptor(PSECURITY_DESCRIPTOR descriptor);

}  // namespace sim::kernel::security
