// Rtl security routines: SIDs, ACLs and security descriptors in their
// absolute and self-relative forms, as ntifs.h documents them.
#include <cstring>

#include "nt/ntstatus.h"
#include "nt/security.h"

namespace {

bool IsSelfRelative(const SECURITY_DESCRIPTOR* sd) {
  return (sd->Control & SE_SELF_RELATIVE) != 0;
}

ULONG LongAlign(ULONG n) {
  return (n + 3u) & ~3u;
}

// A part of a descriptor (owner, group, SACL, DACL) in either form.
const void* PartOf(const SECURITY_DESCRIPTOR* sd, int part) {
  if (IsSelfRelative(sd)) {
    auto* rel = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(sd);
    ULONG offsets[4] = {rel->Owner, rel->Group, rel->Sacl, rel->Dacl};
    return offsets[part] == 0 ? nullptr : reinterpret_cast<const UCHAR*>(sd) + offsets[part];
  }
  const void* pointers[4] = {sd->Owner, sd->Group, sd->Sacl, sd->Dacl};
  return pointers[part];
}

enum Part { kOwner = 0, kGroup = 1, kSacl = 2, kDacl = 3 };

// The ACL a descriptor carries, or null when absent or not flagged present.
const ACL* AclPart(const SECURITY_DESCRIPTOR* sd, Part part) {
  USHORT presentBit = part == kSacl ? SE_SACL_PRESENT : SE_DACL_PRESENT;
  if ((sd->Control & presentBit) == 0) return nullptr;
  return static_cast<const ACL*>(PartOf(sd, part));
}

NTSTATUS CheckAbsoluteForSet(PSECURITY_DESCRIPTOR descriptor) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  if (IsSelfRelative(sd)) return STATUS_INVALID_SECURITY_DESCR;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

// ---- SIDs ----

ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount) {
  return static_cast<ULONG>(sizeof(SID) - sizeof(ULONG) + SubAuthorityCount * sizeof(ULONG));
}

BOOLEAN NTAPI RtlValidSid(PSID Sid) {
  auto* sid = static_cast<const SID*>(Sid);
  return sid != nullptr && sid->Revision == SID_REVISION &&
         sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

ULONG NTAPI RtlLengthSid(PSID Sid) {
  return RtlLengthRequiredSid(static_cast<const SID*>(Sid)->SubAuthorityCount);
}

NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                UCHAR SubAuthorityCount) {
  if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return STATUS_INVALID_PARAMETER;
  auto* sid = static_cast<SID*>(Sid);
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = SubAuthorityCount;
  sid->IdentifierAuthority = *IdentifierAuthority;
  return STATUS_SUCCESS;
}

PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority) {
  return &static_cast<SID*>(Sid)->SubAuthority[SubAuthority];
}

BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2) {
  ULONG length = RtlLengthSid(Sid1);
  return length == RtlLengthSid(Sid2) && std::memcmp(Sid1, Sid2, length) == 0;
}

NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid) {
  ULONG length = RtlLengthSid(SourceSid);
  if (DestinationSidLength < length) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(DestinationSid, SourceSid, length);
  return STATUS_SUCCESS;
}

// ---- ACLs ----

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
  if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
  if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > MAXUSHORT) {
    return STATUS_INVALID_PARAMETER;
  }
  std::memset(Acl, 0, sizeof(ACL));
  Acl->AclRevision = static_cast<UCHAR>(AclRevision);
  Acl->AclSize = static_cast<USHORT>(AclLength);
  return STATUS_SUCCESS;
}

// Walks the ACEs; every one must lie inside AclSize and be long enough for
// its header.
BOOLEAN NTAPI RtlValidAcl(PACL Acl) {
  if (Acl == nullptr || Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION)
    return FALSE;
  if (Acl->AclSize < sizeof(ACL)) return FALSE;
  ULONG offset = sizeof(ACL);
  for (USHORT i = 0; i < Acl->AceCount; ++i) {
    if (offset + sizeof(ACE_HEADER) > Acl->AclSize) return FALSE;
    auto* ace = reinterpret_cast<const ACE_HEADER*>(reinterpret_cast<const UCHAR*>(Acl) + offset);
    if (ace->AceSize < sizeof(ACE_HEADER) || offset + ace->AceSize > Acl->AclSize) return FALSE;
    offset += ace->AceSize;
  }
  return TRUE;
}

NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace) {
  if (AceIndex >= Acl->AceCount) return STATUS_INVALID_PARAMETER;
  auto* p = reinterpret_cast<UCHAR*>(Acl) + sizeof(ACL);
  for (ULONG i = 0; i < AceIndex; ++i) p += reinterpret_cast<ACE_HEADER*>(p)->AceSize;
  *Ace = p;
  return STATUS_SUCCESS;
}

// Appends an allow ACE after the last one.
NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                      PSID Sid) {
  if (!RtlValidSid(Sid)) return STATUS_INVALID_SID;
  if (!RtlValidAcl(Acl) || AceRevision < MIN_ACL_REVISION || AceRevision > MAX_ACL_REVISION) {
    return STATUS_INVALID_ACL;
  }
  ULONG used = sizeof(ACL);
  for (USHORT i = 0; i < Acl->AceCount; ++i) {
    used += reinterpret_cast<ACE_HEADER*>(reinterpret_cast<UCHAR*>(Acl) + used)->AceSize;
  }
  ULONG aceSize =
      static_cast<ULONG>(FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart)) + RtlLengthSid(Sid);
  if (used + aceSize > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;
  auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(reinterpret_cast<UCHAR*>(Acl) + used);
  ace->Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
  ace->Header.AceFlags = 0;
  ace->Header.AceSize = static_cast<USHORT>(aceSize);
  ace->Mask = AccessMask;
  std::memcpy(&ace->SidStart, Sid, RtlLengthSid(Sid));
  Acl->AceCount++;
  if (AceRevision > Acl->AclRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
  return STATUS_SUCCESS;
}

// ---- Security descriptors ----

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                           ULONG Revision) {
  if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return STATUS_SUCCESS;
}

// The header (absolute or self-relative) plus every part, each rounded up to
// a ULONG boundary, as the Windows routine measures it.
ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  ULONG length =
      IsSelfRelative(sd) ? sizeof(SECURITY_DESCRIPTOR_RELATIVE) : sizeof(SECURITY_DESCRIPTOR);
  if (auto* owner = PartOf(sd, kOwner)) length += LongAlign(RtlLengthSid(const_cast<void*>(owner)));
  if (auto* group = PartOf(sd, kGroup)) length += LongAlign(RtlLengthSid(const_cast<void*>(group)));
  if (auto* sacl = AclPart(sd, kSacl)) length += LongAlign(sacl->AclSize);
  if (auto* dacl = AclPart(sd, kDacl)) length += LongAlign(dacl->AclSize);
  return length;
}

BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd == nullptr || sd->Revision != SECURITY_DESCRIPTOR_REVISION) return FALSE;
  if (auto* owner = PartOf(sd, kOwner); owner != nullptr && !RtlValidSid(const_cast<void*>(owner)))
    return FALSE;
  if (auto* group = PartOf(sd, kGroup); group != nullptr && !RtlValidSid(const_cast<void*>(group)))
    return FALSE;
  if (auto* sacl = AclPart(sd, kSacl); sacl != nullptr && !RtlValidAcl(const_cast<ACL*>(sacl)))
    return FALSE;
  if (auto* dacl = AclPart(sd, kDacl); dacl != nullptr && !RtlValidAcl(const_cast<ACL*>(dacl)))
    return FALSE;
  return TRUE;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN DaclPresent, PACL Dacl, BOOLEAN DaclDefaulted) {
  if (NTSTATUS status = CheckAbsoluteForSet(SecurityDescriptor); status != STATUS_SUCCESS)
    return status;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (!DaclPresent) {
    sd->Control &= ~SE_DACL_PRESENT;
    return STATUS_SUCCESS;
  }
  // A present but NULL DACL grants everyone every access.
  sd->Control |= SE_DACL_PRESENT;
  sd->Dacl = Dacl;
  if (DaclDefaulted) {
    sd->Control |= SE_DACL_DEFAULTED;
  } else {
    sd->Control &= ~SE_DACL_DEFAULTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            PBOOLEAN DaclPresent, PACL* Dacl,
                                            PBOOLEAN DaclDefaulted) {
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *DaclPresent = (sd->Control & SE_DACL_PRESENT) != 0;
  if (*DaclPresent) {
    *Dacl = const_cast<ACL*>(static_cast<const ACL*>(PartOf(sd, kDacl)));
    *DaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) != 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                             BOOLEAN OwnerDefaulted) {
  if (NTSTATUS status = CheckAbsoluteForSet(SecurityDescriptor); status != STATUS_SUCCESS)
    return status;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  sd->Owner = Owner;
  sd->Control = static_cast<USHORT>(OwnerDefaulted ? (sd->Control | SE_OWNER_DEFAULTED)
                                                   : (sd->Control & ~SE_OWNER_DEFAULTED));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Owner,
                                             PBOOLEAN OwnerDefaulted) {
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *Owner = const_cast<void*>(PartOf(sd, kOwner));
  *OwnerDefaulted = (sd->Control & SE_OWNER_DEFAULTED) != 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                             BOOLEAN GroupDefaulted) {
  if (NTSTATUS status = CheckAbsoluteForSet(SecurityDescriptor); status != STATUS_SUCCESS)
    return status;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  sd->Group = Group;
  sd->Control = static_cast<USHORT>(GroupDefaulted ? (sd->Control | SE_GROUP_DEFAULTED)
                                                   : (sd->Control & ~SE_GROUP_DEFAULTED));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID* Group,
                                             PBOOLEAN GroupDefaulted) {
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *Group = const_cast<void*>(PartOf(sd, kGroup));
  *GroupDefaulted = (sd->Control & SE_GROUP_DEFAULTED) != 0;
  return STATUS_SUCCESS;
}

// Lays the parts out after the relative header in the order owner, group,
// SACL, DACL. On a short buffer reports the length needed.
NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                           PULONG BufferLength) {
  auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(AbsoluteSecurityDescriptor);
  if (IsSelfRelative(sd)) return STATUS_BAD_DESCRIPTOR_FORMAT;
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  ULONG needed = RtlLengthSecurityDescriptor(AbsoluteSecurityDescriptor) -
                 sizeof(SECURITY_DESCRIPTOR) + sizeof(SECURITY_DESCRIPTOR_RELATIVE);
  if (*BufferLength < needed) {
    *BufferLength = needed;
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* out = static_cast<UCHAR*>(SelfRelativeSecurityDescriptor);
  std::memset(out, 0, needed);
  auto* rel = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(out);
  rel->Revision = sd->Revision;
  rel->Control = static_cast<USHORT>(sd->Control | SE_SELF_RELATIVE);
  ULONG offset = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
  auto place = [&](const void* part, ULONG length) -> ULONG {
    if (part == nullptr) return 0;
    ULONG at = offset;
    std::memcpy(out + at, part, length);
    offset += LongAlign(length);
    return at;
  };
  if (sd->Owner != nullptr) rel->Owner = place(sd->Owner, RtlLengthSid(sd->Owner));
  if (sd->Group != nullptr) rel->Group = place(sd->Group, RtlLengthSid(sd->Group));
  if (auto* sacl = AclPart(sd, kSacl)) rel->Sacl = place(sacl, sacl->AclSize);
  if (auto* dacl = AclPart(sd, kDacl)) rel->Dacl = place(dacl, dacl->AclSize);
  *BufferLength = needed;
  return STATUS_SUCCESS;
}

}  // extern "C"
