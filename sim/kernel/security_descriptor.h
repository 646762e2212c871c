// Self-relative security descriptors as a file system stores them: a default
// descriptor for new files, the part of a stored descriptor that a
// SECURITY_INFORMATION selection asks for (IRP_MJ_QUERY_SECURITY), and the
// merge of a new descriptor's selected parts into a stored one
// (IRP_MJ_SET_SECURITY).
#pragma once

#include <cstdint>
#include <vector>

#include "nt/ntstatus.h"
#include "nt/security.h"

namespace sim::kernel::security {

using Bytes = std::vector<std::uint8_t>;

// Well-known SIDs as bytes: S-1-5-18 (SYSTEM), S-1-5-32-544 (Administrators),
// S-1-5-32-545 (Users), S-1-1-0 (Everyone), S-1-5-11 (Authenticated Users).
Bytes LocalSystemSid();
Bytes AdministratorsSid();
Bytes UsersSid();
Bytes EveryoneSid();
Bytes AuthenticatedUsersSid();

struct AceSpec {
  Bytes sid;
  ACCESS_MASK mask = 0;
};

// A self-relative descriptor with the given owner, group and an allow-only
// DACL (one ACE per entry, in order).
Bytes BuildSelfRelative(const Bytes& owner, const Bytes& group, const std::vector<AceSpec>& dacl);

// What a new file gets: owner Administrators, group SYSTEM, DACL granting
// full access to SYSTEM and Administrators and read/execute to Users.
Bytes DefaultFileSecurity();

// The self-relative descriptor holding only the parts of `stored` that
// `info` selects (owner, group, DACL, SACL); the control flags of the parts
// not selected are cleared. `stored` must be a valid self-relative descriptor.
Bytes SelectParts(const Bytes& stored, SECURITY_INFORMATION info);

// IRP_MJ_QUERY_SECURITY as a file system answers it: writes the selected
// parts to `buffer` and their length to *lengthOut, or returns
// STATUS_BUFFER_TOO_SMALL with the length needed in *lengthOut.
NTSTATUS QuerySecurity(const Bytes& stored, SECURITY_INFORMATION info, void* buffer,
                       ULONG bufferLength, ULONG* lengthOut);

// IRP_MJ_SET_SECURITY: the parts `info` selects are taken from `incoming`
// (absolute or self-relative), the others kept from `stored`. Returns
// STATUS_INVALID_SECURITY_DESCR for an invalid incoming descriptor.
NTSTATUS MergeParts(const Bytes& stored, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR incoming,
                    Bytes* merged);

}  // namespace sim::kernel::security
