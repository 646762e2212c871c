// Access tokens by account and the DACL walk of the access check.
#include "kernel/access_check.h"

#include "nt/io.h"

namespace sim::kernel::security {
namespace {

Bytes UserSid() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  const ULONG rids[] = {21, 1004336348, 1177238915, 682003330, 1001};
  Bytes sid(RtlLengthRequiredSid(5));
  RtlInitializeSid(sid.data(), &nt, 5);
  for (ULONG i = 0; i < 5; ++i) *RtlSubAuthoritySid(sid.data(), i) = rids[i];
  return sid;
}

bool Names(const std::vector<Bytes>& sids, PSID sid) {
  for (const Bytes& candidate : sids) {
    if (RtlEqualSid(const_cast<std::uint8_t*>(candidate.data()), sid)) return true;
  }
  return false;
}

}  // namespace

std::vector<Bytes> TokenSids(Account account) {
  switch (account) {
    case Account::StandardUser:
      return {UserSid(), EveryoneSid(), UsersSid(), AuthenticatedUsersSid()};
    case Account::Administrator:
      return {UserSid(), EveryoneSid(), UsersSid(), AuthenticatedUsersSid(), AdministratorsSid()};
    case Account::LocalSystem:
      return {LocalSystemSid(), AdministratorsSid(), EveryoneSid(), AuthenticatedUsersSid()};
  }
  return {};
}

bool AccessGranted(PSECURITY_DESCRIPTOR descriptor, const std::vector<Bytes>& sids,
                   ACCESS_MASK desired, ACCESS_MASK allAccess) {
  BOOLEAN present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!NT_SUCCESS(RtlGetDaclSecurityDescriptor(descriptor, &present, &dacl, &defaulted)))
    return false;
  if (!present || dacl == nullptr) return true;
  ACCESS_MASK granted = 0;
  for (ULONG i = 0; i < dacl->AceCount && (granted & desired) != desired; ++i) {
    PVOID raw = nullptr;
    if (!NT_SUCCESS(RtlGetAce(dacl, i, &raw))) break;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
      continue;
    // An inherit-only ACE is for objects created below, not this one.
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    // Allowed and denied ACEs share their layout: header, mask, SID.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
    if (!Names(sids, &ace->SidStart)) continue;
    ACCESS_MASK mask = ace->Mask;
    if (mask & GENERIC_ALL) mask = (mask & ~GENERIC_ALL) | allAccess;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      if (mask & desired & ~granted) return false;
    } else {
      granted |= mask & desired;
    }
  }
  return (granted & desired) == desired;
}

Bytes CopyDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  if (descriptor == nullptr || !RtlValidSecurityDescriptor(descriptor)) return {};
  const auto* header = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if (header->Control & SE_SELF_RELATIVE) {
    const auto* bytes = static_cast<const std::uint8_t*>(descriptor);
    return Bytes(bytes, bytes + RtlLengthSecurityDescriptor(descriptor));
  }
  ULONG length = 0;
  RtlAbsoluteToSelfRelativeSD(descriptor, nullptr, &length);
  Bytes copy(length);
  if (length == 0 || !NT_SUCCESS(RtlAbsoluteToSelfRelativeSD(descriptor, copy.data(), &length)))
    return {};
  return copy;
}

}  // namespace sim::kernel::security
