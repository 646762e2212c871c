// Self-relative descriptor helpers for the simulated file systems: build,
// select parts for a query, merge parts on a set.
#include "kernel/security_descriptor.h"

#include <cstring>

namespace sim::kernel::security {
namespace {

Bytes MakeSid(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<ULONG> subAuthorities) {
  Bytes sid(RtlLengthRequiredSid(static_cast<ULONG>(subAuthorities.size())));
  RtlInitializeSid(sid.data(), &authority, static_cast<UCHAR>(subAuthorities.size()));
  ULONG i = 0;
  for (ULONG rid : subAuthorities) *RtlSubAuthoritySid(sid.data(), i++) = rid;
  return sid;
}

// A descriptor taken apart: each part as bytes (empty: absent) and the
// control flags.
struct Parts {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  Bytes owner, group, sacl, dacl;
  bool saclPresent = false;  // present with an empty vector = NULL ACL
  bool daclPresent = false;
};

Bytes CopyAcl(const ACL* acl) {
  if (acl == nullptr) return {};
  auto* p = reinterpret_cast<const std::uint8_t*>(acl);
  return Bytes(p, p + acl->AclSize);
}

Bytes CopySid(PSID sid) {
  if (sid == nullptr) return {};
  auto* p = static_cast<const std::uint8_t*>(sid);
  return Bytes(p, p + RtlLengthSid(sid));
}

Parts TakeApart(PSECURITY_DESCRIPTOR descriptor) {
  Parts parts;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  parts.control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd->Control & ~SE_SELF_RELATIVE);
  PSID sid = nullptr;
  BOOLEAN defaulted = FALSE;
  RtlGetOwnerSecurityDescriptor(descriptor, &sid, &defaulted);
  parts.owner = CopySid(sid);
  RtlGetGroupSecurityDescriptor(descriptor, &sid, &defaulted);
  parts.group = CopySid(sid);
  BOOLEAN present = FALSE;
  PACL acl = nullptr;
  RtlGetDaclSecurityDescriptor(descriptor, &present, &acl, &defaulted);
  parts.daclPresent = present;
  if (present) parts.dacl = CopyAcl(acl);
  // The SACL has no getter in use here; read it the same way.
  if (sd->Control & SE_SACL_PRESENT) {
    parts.saclPresent = true;
    const void* sacl = nullptr;
    if (sd->Control & SE_SELF_RELATIVE) {
      auto* rel = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(sd);
      if (rel->Sacl != 0) sacl = reinterpret_cast<const std::uint8_t*>(sd) + rel->Sacl;
    } else {
      sacl = sd->Sacl;
    }
    parts.sacl = CopyAcl(static_cast<const ACL*>(sacl));
  }
  return parts;
}

Bytes PutTogether(Parts parts) {
  SECURITY_DESCRIPTOR absolute;
  RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
  absolute.Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(parts.control &
                                                              ~(SE_DACL_PRESENT | SE_SACL_PRESENT));
  absolute.Owner = parts.owner.empty() ? nullptr : parts.owner.data();
  absolute.Group = parts.group.empty() ? nullptr : parts.group.data();
  if (parts.daclPresent) {
    absolute.Control |= SE_DACL_PRESENT;
    absolute.Dacl = parts.dacl.empty() ? nullptr : reinterpret_cast<PACL>(parts.dacl.data());
  }
  if (parts.saclPresent) {
    absolute.Control |= SE_SACL_PRESENT;
    absolute.Sacl = parts.sacl.empty() ? nullptr : reinterpret_cast<PACL>(parts.sacl.data());
  }
  ULONG length = 0;
  RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
  Bytes out(length);
  RtlAbsoluteToSelfRelativeSD(&absolute, out.data(), &length);
  return out;
}

constexpr SECURITY_DESCRIPTOR_CONTROL kOwnerFlags = SE_OWNER_DEFAULTED;
constexpr SECURITY_DESCRIPTOR_CONTROL kGroupFlags = SE_GROUP_DEFAULTED;
constexpr SECURITY_DESCRIPTOR_CONTROL kDaclFlags =
    SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
    SE_DACL_PROTECTED | SE_DACL_UNTRUSTED;
constexpr SECURITY_DESCRIPTOR_CONTROL kSaclFlags = SE_SACL_PRESENT | SE_SACL_DEFAULTED |
                                                   SE_SACL_AUTO_INHERIT_REQ |
                                                   SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

// Copies the parts `info` selects from `from` into `to`, with their flags.
void TakeSelected(Parts& to, const Parts& from, SECURITY_INFORMATION info) {
  auto moveFlags = [&](SECURITY_DESCRIPTOR_CONTROL mask) {
    to.control =
        static_cast<SECURITY_DESCRIPTOR_CONTROL>((to.control & ~mask) | (from.control & mask));
  };
  if (info & OWNER_SECURITY_INFORMATION) {
    to.owner = from.owner;
    moveFlags(kOwnerFlags);
  }
  if (info & GROUP_SECURITY_INFORMATION) {
    to.group = from.group;
    moveFlags(kGroupFlags);
  }
  if (info & DACL_SECURITY_INFORMATION) {
    to.dacl = from.dacl;
    to.daclPresent = from.daclPresent;
    moveFlags(kDaclFlags);
  }
  if (info & SACL_SECURITY_INFORMATION) {
    to.sacl = from.sacl;
    to.saclPresent = from.saclPresent;
    moveFlags(kSaclFlags);
  }
}

}  // namespace

Bytes LocalSystemSid() {
  return MakeSid(SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID});
}
Bytes AdministratorsSid() {
  return MakeSid(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
}
Bytes UsersSid() {
  return MakeSid(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
}
Bytes EveryoneSid() {
  return MakeSid(SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID});
}
Bytes AuthenticatedUsersSid() {
  return MakeSid(SECURITY_NT_AUTHORITY, {SECURITY_AUTHENTICATED_USER_RID});
}

Bytes BuildSelfRelative(const Bytes& owner, const Bytes& group, const std::vector<AceSpec>& dacl) {
  ULONG aclLength = sizeof(ACL);
  for (const auto& ace : dacl) {
    aclLength += static_cast<ULONG>(FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + ace.sid.size());
  }
  Parts parts;
  parts.owner = owner;
  parts.group = group;
  parts.daclPresent = true;
  parts.dacl.resize(aclLength);
  auto* acl = reinterpret_cast<PACL>(parts.dacl.data());
  RtlCreateAcl(acl, aclLength, ACL_REVISION);
  for (const auto& ace : dacl) {
    RtlAddAccessAllowedAce(acl, ACL_REVISION, ace.mask, const_cast<std::uint8_t*>(ace.sid.data()));
  }
  return PutTogether(std::move(parts));
}

Bytes DefaultFileSecurity() {
  constexpr ACCESS_MASK kFullAccess = 0x001F01FF;   // FILE_ALL_ACCESS
  constexpr ACCESS_MASK kReadExecute = 0x001200A9;  // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE
  return BuildSelfRelative(AdministratorsSid(), LocalSystemSid(),
                           {{LocalSystemSid(), kFullAccess},
                            {AdministratorsSid(), kFullAccess},
                            {UsersSid(), kReadExecute}});
}

Bytes SelectParts(const Bytes& stored, SECURITY_INFORMATION info) {
  Parts all = TakeApart(const_cast<std::uint8_t*>(stored.data()));
  Parts selected;
  TakeSelected(selected, all, info);
  return PutTogether(std::move(selected));
}

NTSTATUS QuerySecurity(const Bytes& stored, SECURITY_INFORMATION info, void* buffer,
                       ULONG bufferLength, ULONG* lengthOut) {
  Bytes selected = SelectParts(stored, info);
  *lengthOut = static_cast<ULONG>(selected.size());
  if (bufferLength < selected.size()) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, selected.data(), selected.size());
  return STATUS_SUCCESS;
}

NTSTATUS MergeParts(const Bytes& stored, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR incoming,
                    Bytes* merged) {
  if (incoming == nullptr || !RtlValidSecurityDescriptor(incoming))
    return STATUS_INVALID_SECURITY_DESCR;
  Parts result = TakeApart(const_cast<std::uint8_t*>(stored.data()));
  TakeSelected(result, TakeApart(incoming), info);
  *merged = PutTogether(std::move(result));
  return STATUS_SUCCESS;
}

}  // namespace sim::kernel::security
