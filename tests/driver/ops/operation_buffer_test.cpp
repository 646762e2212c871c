// GetOperationBuffer over the major functions, requestor modes and MDL
// states it distinguishes. Each row's callback data names distinct buffers
// (the raw pointer, the MDL's pages, an MDL's existing system mapping, a
// system buffer), so the row shows which one was chosen. A user-mode
// request without an MDL has its buffer locked by the Filter Manager: that
// path runs in the listing scenarios, on real requests.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "ops/operation_buffer.h"

namespace tavo::testing {
namespace {

enum class Mdl { None, Locked, NonPaged, Mapped };
enum class Expect { Null, Raw, MdlPages, MappedVa, System };

struct Row {
  const char* what;
  UCHAR major;
  UCHAR minor;
  KPROCESSOR_MODE mode;
  Mdl mdl;
  ULONG method;  // device control only
  Expect expect;
};

const Row kRows[] = {
    {"query_directory_user_locked_mdl", IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, UserMode, Mdl::Locked, 0, Expect::MdlPages},
    {"query_directory_kernel_raw", IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, KernelMode, Mdl::None, 0, Expect::Raw},
    {"query_directory_kernel_nonpaged_mdl", IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, KernelMode, Mdl::NonPaged, 0, Expect::MdlPages},
    {"query_directory_mapped_mdl", IRP_MJ_DIRECTORY_CONTROL, IRP_MN_QUERY_DIRECTORY, UserMode, Mdl::Mapped, 0, Expect::MappedVa},
    {"notify_change_has_none", IRP_MJ_DIRECTORY_CONTROL, IRP_MN_NOTIFY_CHANGE_DIRECTORY, KernelMode, Mdl::Locked, 0, Expect::Null},
    {"query_security_kernel_raw", IRP_MJ_QUERY_SECURITY, 0, KernelMode, Mdl::None, 0, Expect::Raw},
    {"query_security_user_mdl", IRP_MJ_QUERY_SECURITY, 0, UserMode, Mdl::Locked, 0, Expect::MdlPages},
    {"query_information_user_system_buffer", IRP_MJ_QUERY_INFORMATION, 0, UserMode, Mdl::None, 0, Expect::Raw},
    {"ioctl_buffered", IRP_MJ_DEVICE_CONTROL, 0, UserMode, Mdl::None, METHOD_BUFFERED, Expect::System},
    {"ioctl_out_direct", IRP_MJ_DEVICE_CONTROL, 0, UserMode, Mdl::Locked, METHOD_OUT_DIRECT, Expect::MdlPages},
    {"ioctl_in_direct", IRP_MJ_DEVICE_CONTROL, 0, UserMode, Mdl::Locked, METHOD_IN_DIRECT, Expect::Null},
    {"ioctl_neither_user_mdl", IRP_MJ_DEVICE_CONTROL, 0, UserMode, Mdl::Locked, METHOD_NEITHER, Expect::MdlPages},
    {"ioctl_neither_kernel", IRP_MJ_DEVICE_CONTROL, 0, KernelMode, Mdl::Locked, METHOD_NEITHER, Expect::Null},
    {"create_has_none", IRP_MJ_CREATE, 0, KernelMode, Mdl::None, 0, Expect::Null},
};

// Callback data whose Iopb and mode the test sets (both are fixed for a
// filter, so they are written into raw storage).
class FakeCallbackData {
 public:
  FakeCallbackData(UCHAR major, UCHAR minor, KPROCESSOR_MODE mode) {
    iopb_.MajorFunction = major;
    iopb_.MinorFunction = minor;
    PFLT_IO_PARAMETER_BLOCK iopb = &iopb_;
    std::memcpy(storage_ + offsetof(FLT_CALLBACK_DATA, Iopb), &iopb, sizeof(iopb));
    std::memcpy(storage_ + offsetof(FLT_CALLBACK_DATA, RequestorMode), &mode, sizeof(mode));
  }
  PFLT_CALLBACK_DATA Get() { return reinterpret_cast<PFLT_CALLBACK_DATA>(storage_); }
  FLT_PARAMETERS& Parameters() { return iopb_.Parameters; }

 private:
  FLT_IO_PARAMETER_BLOCK iopb_{};
  alignas(FLT_CALLBACK_DATA) unsigned char storage_[sizeof(FLT_CALLBACK_DATA)]{};
};

class OperationBufferTest : public ::testing::TestWithParam<Row> {};

TEST_P(OperationBufferTest, ChoosesTheBufferOfItsMajorFunction) {
  const Row& row = GetParam();
  alignas(8) UCHAR raw[64], pages[64], mapped[64], system[64];
  PMDL mdl = nullptr;
  if (row.mdl != Mdl::None) {
    mdl = IoAllocateMdl(pages, sizeof(pages), FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    if (row.mdl == Mdl::NonPaged) MmBuildMdlForNonPagedPool(mdl);
    if (row.mdl == Mdl::Locked || row.mdl == Mdl::Mapped) MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    if (row.mdl == Mdl::Mapped) {
      mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
      mdl->MappedSystemVa = mapped;
    }
  }
  FakeCallbackData data(row.major, row.minor, row.mode);
  FLT_PARAMETERS& p = data.Parameters();
  switch (row.major) {
    case IRP_MJ_DIRECTORY_CONTROL:
      p.DirectoryControl.QueryDirectory.DirectoryBuffer = raw;
      p.DirectoryControl.QueryDirectory.MdlAddress = mdl;
      break;
    case IRP_MJ_QUERY_SECURITY:
      p.QuerySecurity.SecurityBuffer = raw;
      p.QuerySecurity.MdlAddress = mdl;
      break;
    case IRP_MJ_QUERY_INFORMATION:
      p.QueryFileInformation.InfoBuffer = raw;
      break;
    case IRP_MJ_DEVICE_CONTROL: {
      auto& control = p.DeviceIoControl;
      control.Common.IoControlCode = CTL_CODE(FILE_DEVICE_DISK, 0x800, row.method, FILE_ANY_ACCESS);
      if (row.method == METHOD_BUFFERED) {
        control.Buffered.SystemBuffer = system;
      } else if (row.method == METHOD_NEITHER) {
        control.Neither.OutputBuffer = raw;
        control.Neither.OutputMdlAddress = mdl;
      } else {
        control.Direct.InputSystemBuffer = system;
        control.Direct.OutputMdlAddress = mdl;
      }
      break;
    }
    default:
      break;
  }
  const PVOID expected[] = {nullptr, raw, pages, mapped, system};
  EXPECT_EQ(GetOperationBuffer(data.Get()), expected[static_cast<int>(row.expect)]);
  if (mdl != nullptr) IoFreeMdl(mdl);
}

INSTANTIATE_TEST_SUITE_P(Rows, OperationBufferTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace tavo::testing
