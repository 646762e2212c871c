// File objects: a FILE_OBJECT body with its name buffer. The last handle
// sends IRP_MJ_CLEANUP down the stack, the last reference IRP_MJ_CLOSE.
//
// A create relative to an open file (RootDirectory) references that file
// object for as long as the new one lives. The documentation says only that
// RelatedFileObject is valid while the create is processed; what the I/O
// manager does with its reference when a filter clears the field (as it
// must before STATUS_REPARSE with a full name) is not documented. The sim's
// choice: the I/O manager drops the reference it took, through its own
// pointer, when the new file object goes (for a re-parsed create, when the
// I/O manager discards the first file object), whatever the field holds.
//
// A file object still referenced when a test ends is reported with the
// call site of the create API that made it.
#include <mutex>
#include <set>

#include "io/io_manager.h"
#include "kernel/kthread.h"
#include "kernel/pool.h"
#include "verifier/verifier.h"
#include "kernel/lifecycle.h"
#include "kernel/thread_state.h"

namespace sim::fltmgr {
void OnFileObjectGone(PFILE_OBJECT fileObject);
}

namespace sim::io {
namespace {

struct LiveFiles {
  std::mutex lock;
  std::set<FileObject*> files;
};

LiveFiles& Live() {
  static LiveFiles live;
  return live;
}

// A fresh machine has no file objects; those a test left behind are dropped
// without cleanup or close (the object manager forgets them too).
kernel::ResetHookRegistration resetFiles(kernel::ResetOrder::Io, [] {
  std::set<FileObject*> files;
  {
    std::lock_guard guard(Live().lock);
    files.swap(Live().files);
  }
  for (FileObject* file : files) delete file;
});

thread_local const void* tCreateCaller = nullptr;

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// File objects still alive at the end of a test: a reference or a handle
// somebody never gave back (and, for an opened one, a close that never
// reached the file system).
kernel::EndOfTestCheckRegistration leakedFileObjects([] {
  std::lock_guard guard(Live().lock);
  for (FileObject* file : Live().files) {
    if (file->leakReported || file->createInProgress) continue;
    file->leakReported = true;
    verifier::Report(verifier::Check::Io,
                     "file object \"" + Utf8(file->Name()) + "\" (" +
                         (file->opened ? "opened, never closed" : "never opened") +
                         ") still referenced: " + std::to_string(file->PointerCount()) +
                         " reference(s), " + std::to_string(file->HandleCount()) +
                         " handle(s); created by " +
                         (file->creationSite ? kernel::pool::DescribeCodeAddress(file->creationSite)
                                             : std::string("the I/O manager")));
  }
});

}  // namespace

FileObject::FileObject(Volume* vol, std::u16string name, FILE_OBJECT* related) : volume(vol) {
  fo_.Type = 5;  // IO_TYPE_FILE
  fo_.Size = sizeof(FILE_OBJECT);
  fo_.DeviceObject = vol ? &vol->device : nullptr;
  fo_.RelatedFileObject = related;
  referencedRelated_ = related;
  if (related) ObfReferenceObject(related);
  creationSite = CreateCallSite::Current();
  InitializeListHead(&fo_.IrpList);
  SetName(std::move(name));
  kernel::RegisterObjectBody(this);
  std::lock_guard guard(Live().lock);
  Live().files.insert(this);
}

FileObject::~FileObject() {
  std::lock_guard guard(Live().lock);
  Live().files.erase(this);
}

void FileObject::SetName(std::u16string name) {
  nameBuffer_ = std::move(name);
  fo_.FileName.Length = static_cast<USHORT>(nameBuffer_.size() * sizeof(WCHAR));
  fo_.FileName.MaximumLength = static_cast<USHORT>(fo_.FileName.Length + sizeof(WCHAR));
  fo_.FileName.Buffer = reinterpret_cast<PWCH>(nameBuffer_.data());
}

std::u16string FileObject::Name() const {
  if (!fo_.FileName.Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(fo_.FileName.Buffer),
                        fo_.FileName.Length / sizeof(WCHAR));
}

void FileObject::OnLastHandleClosed() {
  if (!opened) return;
  Operation op(volume, this, IRP_MJ_CLEANUP, 0);
  SendOperation(op);
  fo_.Flags |= FO_CLEANUP_COMPLETE;
}

void FileObject::OnLastReference() {
  if (opened) {
    Operation op(volume, this, IRP_MJ_CLOSE, 0);
    SendOperation(op);
  }
  fltmgr::OnFileObjectGone(&fo_);
  if (referencedRelated_) ObfDereferenceObject(referencedRelated_);
  referencedRelated_ = nullptr;
  fo_.RelatedFileObject = nullptr;
}

CreateCallSite::CreateCallSite(const void* caller) : previous_(tCreateCaller) {
  tCreateCaller = caller;
}

CreateCallSite::~CreateCallSite() {
  tCreateCaller = previous_;
}

const void* CreateCallSite::Current() {
  return tCreateCaller;
}

FileObject* FileObjectFromBody(PFILE_OBJECT fo) {
  if (!fo) return nullptr;
  return dynamic_cast<FileObject*>(kernel::ObjectFromBody(fo));
}

}  // namespace sim::io

// The option lives in the file object's extension, which every file object
// the I/O manager made has; any other FILE_OBJECT has none.
NTSTATUS IoSetFileObjectIgnoreSharing(PFILE_OBJECT FileObject) {
  sim::io::FileObject* file = sim::io::FileObjectFromBody(FileObject);
  if (!file) return STATUS_NOT_FOUND;
  file->ignoreSharing = true;
  return STATUS_SUCCESS;
}

BOOLEAN IoIsFileObjectIgnoringSharing(PFILE_OBJECT FileObject) {
  sim::io::FileObject* file = sim::io::FileObjectFromBody(FileObject);
  return file && file->ignoreSharing ? TRUE : FALSE;
}

PIRP IoGetTopLevelIrp() {
  return sim::kernel::CurrentThread().topLevelIrp;
}

VOID IoSetTopLevelIrp(PIRP Irp) {
  sim::kernel::CurrentThread().topLevelIrp = Irp;
}

namespace sim::io {

Operation::Operation(Volume* vol, FileObject* f, UCHAR major, UCHAR minor)
    : data{FLTFL_CALLBACK_DATA_IRP_OPERATION,
           reinterpret_cast<PETHREAD>(kernel::CurrentKThread()),
           &iopb,
           {},
           nullptr,
           {},
           UserMode},
      volume(vol),
      file(f) {
  iopb.MajorFunction = major;
  iopb.MinorFunction = minor;
  iopb.TargetFileObject = f ? f->fo() : nullptr;
  requestorProcessId = kernel::CurrentThread().processId;
  if (f) {
    startBelow = f->targetInstance;
    if (f->fo()->Flags & FO_SYNCHRONOUS_IO) iopb.IrpFlags |= IRP_SYNCHRONOUS_API;
  }
}

Operation::~Operation() {
  if (lockedMdl) IoFreeMdl(lockedMdl);
}

}  // namespace sim::io
