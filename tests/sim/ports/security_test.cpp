// Security descriptors: the Rtl routines' documented failures and lengths,
// and the file-system helpers that answer and apply security queries and
// sets. (The port's default descriptor is checked by who may connect.)
#include <fltKernel.h>
#include <gtest/gtest.h>

#include "kernel/access_check.h"
#include "kernel/security_descriptor.h"

namespace {

namespace security = sim::kernel::security;

PSID SidOf(const security::Bytes& sid) {
  return const_cast<std::uint8_t*>(sid.data());
}

TEST(SecurityTest, SettersRefuseWrongRevisionAndSelfRelativeDescriptors) {
  SECURITY_DESCRIPTOR absolute;
  EXPECT_EQ(RtlCreateSecurityDescriptor(&absolute, 2), STATUS_UNKNOWN_REVISION);
  ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
  EXPECT_EQ(RtlLengthSecurityDescriptor(&absolute), sizeof(SECURITY_DESCRIPTOR));

  security::Bytes relative = security::DefaultFileSecurity();
  EXPECT_EQ(RtlSetDaclSecurityDescriptor(relative.data(), TRUE, nullptr, FALSE),
            STATUS_INVALID_SECURITY_DESCR);
  EXPECT_EQ(RtlSetOwnerSecurityDescriptor(relative.data(), nullptr, FALSE),
            STATUS_INVALID_SECURITY_DESCR);
  ULONG length = 0;
  EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(relative.data(), nullptr, &length),
            STATUS_BAD_DESCRIPTOR_FORMAT);
}

// A query returns only the selected parts; a short buffer gets
// STATUS_BUFFER_TOO_SMALL and the length needed.
TEST(SecurityTest, QueryReturnsTheSelectedPartsOrTheLengthNeeded) {
  const security::Bytes stored = security::DefaultFileSecurity();
  struct Case {
    SECURITY_INFORMATION info;
    bool owner, group, dacl;
  };
  const Case cases[] = {
      {OWNER_SECURITY_INFORMATION, true, false, false},
      {GROUP_SECURITY_INFORMATION, false, true, false},
      {DACL_SECURITY_INFORMATION, false, false, true},
      {OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, true,
       true, true},
      {SACL_SECURITY_INFORMATION, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info);
    ULONG needed = 0;
    UCHAR small[8];
    ASSERT_EQ(security::QuerySecurity(stored, c.info, small, sizeof(small), &needed),
              STATUS_BUFFER_TOO_SMALL);
    security::Bytes out(needed);
    ULONG written = 0;
    ASSERT_EQ(security::QuerySecurity(stored, c.info, out.data(), needed, &written),
              STATUS_SUCCESS);
    EXPECT_EQ(written, needed);
    EXPECT_EQ(RtlLengthSecurityDescriptor(out.data()), needed);
    auto* header = reinterpret_cast<SECURITY_DESCRIPTOR_RELATIVE*>(out.data());
    EXPECT_EQ(header->Owner != 0, c.owner);
    EXPECT_EQ(header->Group != 0, c.group);
    EXPECT_EQ((header->Control & SE_DACL_PRESENT) != 0, c.dacl);
    EXPECT_EQ(header->Dacl != 0, c.dacl);
  }
}

// A set replaces the selected parts and keeps the others.
TEST(SecurityTest, MergeReplacesOnlyTheSelectedParts) {
  const security::Bytes stored = security::DefaultFileSecurity();
  security::Bytes incoming = security::BuildSelfRelative(security::UsersSid(), security::UsersSid(),
                                                         {{security::EveryoneSid(), GENERIC_ALL}});
  security::Bytes merged;
  ASSERT_EQ(security::MergeParts(stored, DACL_SECURITY_INFORMATION, incoming.data(), &merged),
            STATUS_SUCCESS);
  PSID owner = nullptr;
  BOOLEAN defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  RtlGetOwnerSecurityDescriptor(merged.data(), &owner, &defaulted);
  EXPECT_TRUE(RtlEqualSid(owner, SidOf(security::AdministratorsSid()))) << "owner kept";
  RtlGetDaclSecurityDescriptor(merged.data(), &present, &dacl, &defaulted);
  ASSERT_TRUE(present);
  ASSERT_EQ(dacl->AceCount, 1) << "DACL replaced";

  UCHAR garbage[sizeof(SECURITY_DESCRIPTOR)] = {7};
  EXPECT_EQ(security::MergeParts(stored, DACL_SECURITY_INFORMATION, garbage, &merged),
            STATUS_INVALID_SECURITY_DESCR);
}

// The DACL walk of the connect check, for a standard user's token: no DACL
// and a NULL DACL admit, an empty one refuses; ACEs count in order, a deny
// only for bits not yet granted; inherit-only ACEs do not apply to the
// object itself.
TEST(SecurityTest, AccessCheckWalksTheDaclAsDocumented) {
  struct Ace {
    UCHAR type;
    UCHAR flags;
    ACCESS_MASK mask;
  };
  struct Case {
    const char* what;
    bool present;
    bool nullDacl;
    std::vector<Ace> aces;  // each for Everyone
    bool granted;
  };
  const Case cases[] = {
      {"no DACL", false, false, {}, true},
      {"NULL DACL", true, true, {}, true},
      {"empty DACL", true, false, {}, false},
      {"GENERIC_ALL", true, false, {{ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL}}, true},
      {"deny first",
       true,
       false,
       {{ACCESS_DENIED_ACE_TYPE, 0, FLT_PORT_CONNECT}, {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL}},
       false},
      {"deny after the grant",
       true,
       false,
       {{ACCESS_ALLOWED_ACE_TYPE, 0, FLT_PORT_CONNECT}, {ACCESS_DENIED_ACE_TYPE, 0, GENERIC_ALL}},
       true},
      {"inherit-only allow",
       true,
       false,
       {{ACCESS_ALLOWED_ACE_TYPE, INHERIT_ONLY_ACE | CONTAINER_INHERIT_ACE, FLT_PORT_CONNECT}},
       false},
      {"inherit-only deny first",
       true,
       false,
       {{ACCESS_DENIED_ACE_TYPE, INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE, FLT_PORT_CONNECT},
        {ACCESS_ALLOWED_ACE_TYPE, 0, FLT_PORT_CONNECT}},
       true},
  };
  for (const Case& c : cases) {
    security::Bytes acl(sizeof(ACL) + 64);
    auto* list = reinterpret_cast<PACL>(acl.data());
    ASSERT_EQ(RtlCreateAcl(list, static_cast<ULONG>(acl.size()), ACL_REVISION), STATUS_SUCCESS);
    for (const Ace& ace : c.aces) {
      ASSERT_EQ(
          RtlAddAccessAllowedAce(list, ACL_REVISION, ace.mask, SidOf(security::EveryoneSid())),
          STATUS_SUCCESS);
      PVOID raw = nullptr;
      ASSERT_EQ(RtlGetAce(list, list->AceCount - 1, &raw), STATUS_SUCCESS);
      static_cast<ACE_HEADER*>(raw)->AceType = ace.type;  // allowed and denied share the layout
      static_cast<ACE_HEADER*>(raw)->AceFlags = ace.flags;
    }
    SECURITY_DESCRIPTOR descriptor;
    RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (c.present)
      RtlSetDaclSecurityDescriptor(&descriptor, TRUE, c.nullDacl ? nullptr : list, FALSE);
    EXPECT_EQ(security::AccessGranted(&descriptor,
                                      security::TokenSids(sim::kernel::Account::StandardUser),
                                      FLT_PORT_CONNECT, FLT_PORT_ALL_ACCESS),
              c.granted)
        << c.what;
  }
}

}  // namespace
