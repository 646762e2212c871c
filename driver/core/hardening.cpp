// The opt-in hardening settings and the request deadline they give.
#include "hardening.h"

namespace tavo {

HardeningSettings Hardening;

namespace {

constexpr LONGLONG kUnitsPerSecond = 10'000'000;

// A DWORD of the driver's key; false when the key or the value is missing,
// or the value is of another type (which a direct read would write past
// `value`).
bool ReadDword(const WCHAR* name, ULONG* value) {
  RTL_QUERY_REGISTRY_TABLE query[2] = {};
  query[0].Flags =
      RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
  query[0].Name = const_cast<PWSTR>(name);
  query[0].EntryContext = value;
  query[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
  return NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE,
                                           L"\\Registry\\Machine\\SOFTWARE\\Zentho\\Tavo", query,
                                           nullptr, nullptr));
}

}  // namespace

void ReadHardeningSettings() {
  Hardening = HardeningSettings{};
  ULONG seconds = 0;
  if (ReadDword(L"RequestTimeoutSeconds", &seconds))
    Hardening.RequestTimeout = static_cast<LONGLONG>(seconds) * kUnitsPerSecond;
  ULONG restrict = 0;
  if (ReadDword(L"RestrictPortsToAdministrators", &restrict))
    Hardening.AdministratorsOnlyPorts = restrict != 0;
}

RequestDeadline::RequestDeadline(LONGLONG limit)
    : limit_(limit != 0 && (Hardening.RequestTimeout == 0 || limit < Hardening.RequestTimeout)
                 ? limit
                 : Hardening.RequestTimeout),
      start_(KeQueryInterruptTime()),
      timeout_{} {}

PLARGE_INTEGER RequestDeadline::Remaining() {
  if (limit_ == 0) return nullptr;
  const LONGLONG elapsed = static_cast<LONGLONG>(KeQueryInterruptTime() - start_);
  const LONGLONG left = elapsed < limit_ ? limit_ - elapsed : 0;
  timeout_.QuadPart = -left;  // negative: relative to now
  return &timeout_;
}

}  // namespace tavo
