// The simulated I/O manager's internals: volumes in the object namespace,
// file objects, and the operation record that travels down the filter stack
// to the file system (an FLT_CALLBACK_DATA with the I/O manager's and the
// Filter Manager's bookkeeping beside it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fltKernel.h>

#include "io/file_system.h"
#include "kernel/object_manager.h"

struct _FLT_VOLUME;
struct _FLT_INSTANCE;

namespace sim::io {

// A mounted volume: a \Device\HarddiskVolumeN device, an optional drive
// letter link (\??\C:), and the file system that serves it.
struct Volume {
  std::u16string deviceName;  // "\Device\HarddiskVolume2"
  char16_t driveLetter = 0;   // u'C', or 0
  std::shared_ptr<FileSystem> fs;
  DEVICE_OBJECT device{};
  _FLT_VOLUME* filterVolume = nullptr;  // the Filter Manager's view of it
};

// Mounts a volume. The Filter Manager is told, so filters that are
// filtering get an instance on it.
Volume* AddVolume(std::u16string deviceName, char16_t driveLetter, std::shared_ptr<FileSystem> fs);
std::vector<Volume*> AllVolumes();
Volume* FindVolumeByDeviceName(std::u16string_view deviceName);
// Accepts a device name ("\Device\HarddiskVolume2") or a drive ("C:", "\??\C:").
Volume* FindVolume(std::u16string_view name);

// A full object name split into its volume and the volume-relative rest.
struct ParsedName {
  Volume* volume = nullptr;
  std::u16string remainder;  // "" (the volume itself), "\" or "\dir\file"
};
// Parses "\??\C:\a", "\DosDevices\C:\a", "\GLOBAL??\C:\a" and
// "\Device\HarddiskVolume2\a" (object-manager parts compared without case).
NTSTATUS ParseObjectName(std::u16string_view name, ParsedName& parsed);

// A file object: the kernel object whose body is a FILE_OBJECT.
class FileObject : public kernel::KernelObject {
 public:
  FileObject(Volume* volume, std::u16string name, FILE_OBJECT* related);
  ~FileObject() override;

  const char* TypeName() const override { return "File"; }
  void* Body() override { return &fo_; }
  FILE_OBJECT* fo() { return &fo_; }

  // Replaces FileName with a buffer the file object owns.
  void SetName(std::u16string name);
  std::u16string Name() const;

  Volume* volume = nullptr;
  bool opened = false;              // the create succeeded
  bool openedByFileSystem = false;  // ... and reached the file system
  ACCESS_MASK grantedAccess = 0;
  ULONG createOptions = 0;
  // FltCreateFile with an instance: I/O on this file object goes below it.
  _FLT_INSTANCE* targetInstance = nullptr;
  bool kernelCreated = false;
  // The file object extension's "ignore sharing" option
  // (IoSetFileObjectIgnoreSharing; IO_IGNORE_SHARE_ACCESS_CHECK sets it).
  bool ignoreSharing = false;
  // The code that called the create API (NtCreateFile, FltCreateFileEx2,
  // ...), named by the end-of-test report of file objects left behind.
  const void* creationSite = nullptr;
  bool leakReported = false;
  // Its create is on its way through the stack (a pended create the test
  // never completed is reported as such, not as a leaked file object).
  std::atomic<bool> createInProgress{false};

 protected:
  void OnLastHandleClosed() override;
  void OnLastReference() override;

 private:
  FILE_OBJECT fo_{};
  std::u16string nameBuffer_;
  // The related file object the I/O manager referenced for this open. Its
  // own pointer, not RelatedFileObject: a filter may clear or change the
  // field (it must clear it before STATUS_REPARSE with a full name), and
  // the I/O manager's reference is still its to drop.
  FILE_OBJECT* referencedRelated_ = nullptr;
};

// Marks a create API call on this thread: the file objects it makes
// remember `caller` as their creation site (nested creates, such as a
// filter's own open inside a pre-create, name their own caller).
class CreateCallSite {
 public:
  explicit CreateCallSite(const void* caller);
  ~CreateCallSite();
  CreateCallSite(const CreateCallSite&) = delete;
  CreateCallSite& operator=(const CreateCallSite&) = delete;
  static const void* Current();

 private:
  const void* previous_ = nullptr;
};

// Pool tag of the file-name buffers IoReplaceFileObjectName allocates
// ('IoNm'; the real tag is not documented).
inline constexpr std::uint32_t kFileNameBufferTag = 0x6d4e6f49;

// The FileObject whose body is `fo`, or null.
FileObject* FileObjectFromBody(PFILE_OBJECT fo);

// One operation on its way down the stack. data must stay the first member:
// the Filter Manager recovers the operation from its FLT_CALLBACK_DATA.
struct Operation {
  Operation(Volume* volume, FileObject* file, UCHAR major, UCHAR minor);
  ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  FLT_CALLBACK_DATA data;
  FLT_IO_PARAMETER_BLOCK iopb{};
  IO_SECURITY_CONTEXT securityContext{};
  Volume* volume;
  FileObject* file;
  std::uint32_t requestorProcessId = 0;
  bool fastIo = false;                  // offered as fast I/O
  bool fastIoRefused = false;           // a filter refused the fast I/O path
  bool kernelOpenedTarget = false;      // create: FltCreateFile (no share-access check etc.)
  _FLT_INSTANCE* startBelow = nullptr;  // only instances below this one see it
  PMDL lockedMdl = nullptr;             // FltLockUserBuffer's MDL, freed with the operation
  // The file system kept the request and completed it later (a change
  // notification): its completion is delivered as one pended below is.
  bool pendedByFileSystem = false;
  // Called when the file system keeps the request (the asynchronous caller
  // returns STATUS_PENDING then).
  std::function<void()> onPendedInFileSystem;

  // Pended pre/post operation state. The stage a callback may pend is one
  // atomic word: the issuing thread marks it before each callback and clears
  // it after one that did not pend without taking the lock (most do not);
  // a completion moves it from Pre or Post to its Done value, so a
  // completion and a callback that returned without pending always see each
  // other. The rest is guarded by lock.
  enum class Pend { None, Pre, Post, PreDone, PostDone };
  std::mutex lock;
  std::condition_variable cv;
  std::atomic<Pend> pend{Pend::None};
  std::atomic<_FLT_INSTANCE*> pendedInstance{nullptr};  // set before pend
  bool pendWaiting = false;  // the issuing thread waits for the completion
  FLT_PREOP_CALLBACK_STATUS pendedStatus = FLT_PREOP_SUCCESS_NO_CALLBACK;
  PVOID pendedContext = nullptr;
};

// Sends an operation through the filters of its volume to the file system
// and back; returns the final status (also in data.IoStatus).
NTSTATUS SendOperation(Operation& op);

// Performs the operation in the file system (the bottom of the stack).
void CallFileSystem(Operation& op);

// Opens a file as the calling thread's process: the common path of
// NtCreateFile, ZwCreateFile and FltCreateFileEx2. Re-parses on
// STATUS_REPARSE. On success returns a referenced FileObject.
struct CreateRequest {
  const OBJECT_ATTRIBUTES* attributes = nullptr;
  ACCESS_MASK desiredAccess = 0;
  ULONG fileAttributes = 0;
  ULONG shareAccess = 0;
  ULONG disposition = FILE_OPEN;
  ULONG options = 0;
  LARGE_INTEGER allocationSize{};
  PVOID eaBuffer = nullptr;
  ULONG eaLength = 0;
  KPROCESSOR_MODE mode = UserMode;
  _FLT_INSTANCE* startBelow = nullptr;  // FltCreateFile with an instance
  bool fromFilter = false;
  ULONG ioOptions = 0;  // IO_* options of IoCreateFileEx / FltCreateFileEx2 (Flags)
};
NTSTATUS CreateFile(const CreateRequest& request, FileObject** fileOut, IO_STATUS_BLOCK& iosb);

// The target directory of a rename or link (FileRenameInformation(Ex),
// FileLinkInformation(Ex)). For a FileName that is a full path, or one
// relative to RootDirectory, the target's parent directory is opened before
// the set-information request goes down (see rename_target.cpp); the
// request carries it as ParentOfTarget, and the holder closes it (cleanup,
// then close, through the filters) when it goes.
bool IsRenameOrLinkClass(FILE_INFORMATION_CLASS infoClass);

class RenameTargetDirectory {
 public:
  RenameTargetDirectory() = default;
  ~RenameTargetDirectory();
  RenameTargetDirectory(const RenameTargetDirectory&) = delete;
  RenameTargetDirectory& operator=(const RenameTargetDirectory&) = delete;

  // Opens the target directory when the request names one; succeeds
  // without an open for other classes and simple names. `byFilter`: the
  // Filter Manager's open for FltSetInformationFile (below `startBelow`, no
  // forced access check, no same-volume check).
  NTSTATUS Open(FileObject* source, const void* buffer, ULONG length,
                FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode,
                _FLT_INSTANCE* startBelow, bool byFilter);
  // The opened directory (ParentOfTarget), or null.
  FILE_OBJECT* Directory() const { return file_ ? file_->fo() : nullptr; }

 private:
  FileObject* file_ = nullptr;
  HANDLE handle_ = nullptr;
};

// Maps generic rights to file rights (the file generic mapping).
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);

// Re-parse limit of a create: STATUS_REPARSE answered more often than this
// fails the open.
inline constexpr int kMaxReparseCount = 32;

}  // namespace sim::io

namespace sim::io {

// Runs one operation on an open file object: `setup` fills the parameters.
// With `fastIoable` the operation is first offered as fast I/O; a filter
// that refuses it gets it again as an IRP. Returns the final status; iosb
// receives the I/O status block.
NTSTATUS RunFileOperation(FileObject* file, _FLT_INSTANCE* startBelow, KPROCESSOR_MODE mode,
                          UCHAR major, UCHAR minor, void (*setup)(Operation&, void*),
                          void* setupContext, IO_STATUS_BLOCK& iosb, bool fastIoable = false);

// For the harness: how many change notifications the file systems have
// kept so far (to wait for a change), a wait until that many have been,
// and a wait until no asynchronous request is in flight anywhere.
std::uint64_t KeptRequestCount();
void WaitForKeptRequests(std::uint64_t count);
void WaitForAsynchronousRequests();

// Whether a read, write or information query on this file object is first
// offered as fast I/O (cached, synchronous file objects).
bool FastIoPossible(FileObject* file, UCHAR major, FILE_INFORMATION_CLASS infoClass);

}  // namespace sim::io
