// File names: FltGetFileNameInformation and friends. Names are full device
// paths ("\Device\HarddiskVolume3\dir\file.txt"). An opened name is the path
// as it was opened; a normalized name has every component in its long form
// and its on-disk case. A filter registered as a name provider answers the
// queries of the filters above it (and its own with
// FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER): a normalized name is asked
// for first, then, if the provider fails it, the opened name, normalized
// through the provider's component callbacks. Queries no provider answers
// go to the file system below every filter (in pre-create: the create's
// own name). Short names (the final component's 8.3 name) are served
// except in pre-create.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fltmgr/filter_manager.h"
#include "kernel/lifecycle.h"
#include "kernel/object_manager.h"
#include "kernel/thread_state.h"
#include "verifier/verifier.h"

namespace sim::fltmgr {
void ReportContextsAtUnload(_FLT_FILTER* filter);

namespace {

struct NameInfo {
  FLT_FILE_NAME_INFORMATION info;  // first: the filter sees this
  long references = 1;
  _FLT_FILTER* filter = nullptr;
  std::u16string text;
  bool reported = false;
};

struct NameControl {
  FLT_NAME_CONTROL control;  // first: the provider sees this
  std::vector<WCHAR> storage;
};

struct State {
  std::mutex lock;
  std::set<NameInfo*> live;
};

State& S() {
  static State state;
  return state;
}

UNICODE_STRING Slice(const std::u16string& text, size_t offset, size_t count) {
  UNICODE_STRING s;
  s.Buffer = count ? reinterpret_cast<PWCH>(const_cast<char16_t*>(text.data() + offset)) : nullptr;
  s.Length = static_cast<USHORT>(count * sizeof(WCHAR));
  s.MaximumLength = s.Length;
  return s;
}

std::u16string ToU16(const UNICODE_STRING& s) {
  return s.Buffer
             ? std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR))
             : std::u16string();
}

std::vector<std::u16string> SplitComponents(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The volume-relative path a file object was opened with (following
// RelatedFileObject for relative opens).
std::u16string OpenedPath(PFILE_OBJECT fo) {
  std::u16string own = ToU16(fo->FileName);
  if (fo->RelatedFileObject) {
    std::u16string base = OpenedPath(fo->RelatedFileObject);
    if (own.empty()) return base;
    if (base.empty() || base.back() != u'\\') base += u'\\';
    return base + own;
  }
  return own;
}

// Asks the file system below every filter for a name class of an open file
// object, as the Filter Manager does when no provider answers. The query
// goes down like any operation: a file object the file system never opened
// (one a filter serves itself) is caught by the verifier there.
NTSTATUS QueryFileSystemName(io::FileObject* file, FILE_INFORMATION_CLASS infoClass,
                             std::u16string& name) {
  std::vector<ULONG> buffer((sizeof(FILE_NAME_INFORMATION) + 65536) / sizeof(ULONG));
  io::Operation op(file->volume, file, IRP_MJ_QUERY_INFORMATION, 0);
  op.data.RequestorMode = KernelMode;
  auto& query = op.iopb.Parameters.QueryFileInformation;
  query.FileInformationClass = infoClass;
  query.InfoBuffer = buffer.data();
  query.Length = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
  io::CallFileSystem(op);
  if (!NT_SUCCESS(op.data.IoStatus.Status)) return op.data.IoStatus.Status;
  auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
  name.assign(reinterpret_cast<const char16_t*>(info->FileName),
              info->FileNameLength / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// Whether anyone has opened the file object yet (its create completed, the
// file system opened it, or a filter serving it set FsContext).
bool Opened(io::FileObject* file) {
  return file->opened || file->openedByFileSystem || file->fo()->FsContext != nullptr;
}

// The file system's own idea of the name, for a file object it opened.
bool FileSystemPath(io::FileObject* file, std::u16string& path) {
  if (!file || !file->openedByFileSystem || !file->volume->fs->Owns(file->fo())) return false;
  return NT_SUCCESS(QueryFileSystemName(file, FileNameInformation, path));
}

// Asks the file system for the long, on-disk form of one component in a
// directory (a directory query with the component as its pattern).
NTSTATUS ExpandWithFileSystem(io::Volume* volume, const std::u16string& parent,
                              const std::u16string& component, std::u16string& expanded) {
  FILE_OBJECT dir{};
  std::u16string parentName = parent.empty() ? u"\\" : parent;
  dir.FileName = Slice(parentName, 0, parentName.size());
  dir.DeviceObject = &volume->device;
  dir.Size = sizeof(FILE_OBJECT);
  io::CreateParameters params;
  params.desiredAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
  params.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
  params.disposition = FILE_OPEN;
  params.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  params.requestorMode = KernelMode;
  IO_STATUS_BLOCK iosb{};
  io::FileSystem& fs = *volume->fs;
  NTSTATUS status = fs.Create(&dir, params, iosb);
  if (!NT_SUCCESS(status))
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : status;
  std::u16string pattern = component;
  UNICODE_STRING patternString = Slice(pattern, 0, pattern.size());
  io::DirectoryQuery query;
  query.infoClass = FileNamesInformation;
  query.pattern = &patternString;
  query.flags = SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY;
  std::vector<UCHAR> buffer(sizeof(FILE_NAMES_INFORMATION) + 1024);
  status = fs.QueryDirectory(&dir, query, buffer.data(), static_cast<ULONG>(buffer.size()), iosb);
  if (NT_SUCCESS(status)) {
    auto* entry = reinterpret_cast<FILE_NAMES_INFORMATION*>(buffer.data());
    expanded.assign(reinterpret_cast<const char16_t*>(entry->FileName),
                    entry->FileNameLength / sizeof(WCHAR));
  } else if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) {
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  }
  fs.Cleanup(&dir, iosb);
  fs.Close(&dir);
  return status;
}

// Asks a name provider to expand one component.
NTSTATUS ExpandWithProvider(_FLT_INSTANCE* provider, PFILE_OBJECT fo,
                            const std::u16string& volumeName, const std::u16string& parent,
                            const std::u16string& component, FLT_NORMALIZE_NAME_FLAGS flags,
                            PVOID* normalizationContext, std::u16string& expanded) {
  std::u16string parentDirectory = volumeName + (parent.empty() ? u"\\" : parent);
  UNICODE_STRING parentString = Slice(parentDirectory, 0, parentDirectory.size());
  std::u16string componentText = component;
  UNICODE_STRING componentString = Slice(componentText, 0, componentText.size());
  std::vector<ULONG> buffer((sizeof(FILE_NAMES_INFORMATION) + 1024) / sizeof(ULONG));
  auto* names = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer.data());
  const ULONG length = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
  const USHORT volumeLength = static_cast<USHORT>(volumeName.size() * sizeof(WCHAR));
  const FLT_REGISTRATION& reg = provider->filter->registration;
  NTSTATUS status;
  if (CallbackAfterUnload(provider->filter, "name normalization"))
    return STATUS_FLT_DELETING_OBJECT;
  if (reg.NormalizeNameComponentExCallback) {
    status = reg.NormalizeNameComponentExCallback(provider, fo, &parentString, volumeLength,
                                                  &componentString, names, length, flags,
                                                  normalizationContext);
  } else if (reg.NormalizeNameComponentCallback) {
    status =
        reg.NormalizeNameComponentCallback(provider, &parentString, volumeLength, &componentString,
                                           names, length, flags, normalizationContext);
  } else {
    return ExpandWithFileSystem(provider->volume->volume, parent, component, expanded);
  }
  if (NT_SUCCESS(status)) {
    expanded.assign(reinterpret_cast<const char16_t*>(names->FileName),
                    names->FileNameLength / sizeof(WCHAR));
  }
  return status;
}

// Normalizes a volume-relative path one component at a time. In a
// pre-create the last component may not exist yet and is kept as given.
NTSTATUS Normalize(io::Volume* volume, _FLT_INSTANCE* provider, PFILE_OBJECT fo,
                   const std::u16string& path, bool finalMayBeMissing, std::u16string& normalized) {
  std::u16string stream;
  std::u16string base = path;
  const size_t lastSlash = base.rfind(u'\\');
  const size_t colon = base.find(u':', lastSlash == std::u16string::npos ? 0 : lastSlash);
  if (colon != std::u16string::npos) {
    stream = base.substr(colon);
    base.resize(colon);
  }
  std::vector<std::u16string> parts = SplitComponents(base);
  std::u16string result;
  PVOID normalizationContext = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::u16string expanded;
    NTSTATUS s = provider ? ExpandWithProvider(provider, fo, volume->deviceName, result, parts[i],
                                               0, &normalizationContext, expanded)
                          : ExpandWithFileSystem(volume, result, parts[i], expanded);
    const bool last = i + 1 == parts.size();
    if (!NT_SUCCESS(s)) {
      if (last && finalMayBeMissing &&
          (s == STATUS_OBJECT_NAME_NOT_FOUND || s == STATUS_NO_SUCH_FILE ||
           s == STATUS_NO_MORE_FILES || s == STATUS_NOT_FOUND)) {
        expanded = parts[i];
      } else {
        status = (s == STATUS_OBJECT_NAME_NOT_FOUND && !last) ? STATUS_OBJECT_PATH_NOT_FOUND : s;
        break;
      }
    }
    result += u'\\';
    result += expanded;
  }
  if (provider && normalizationContext &&
      provider->filter->registration.NormalizeContextCleanupCallback) {
    provider->filter->registration.NormalizeContextCleanupCallback(&normalizationContext);
  }
  if (!NT_SUCCESS(status)) return status;
  if (result.empty()) result = u"\\";
  // A directory opened with a trailing backslash keeps it in its name.
  if (path.size() > 1 && path.back() == u'\\' && result.back() != u'\\') result += u'\\';
  normalized = result + stream;
  return STATUS_SUCCESS;
}

// The highest name provider at or below where the query starts.
_FLT_INSTANCE* FindProvider(_FLT_VOLUME* volume, _FLT_INSTANCE* requester,
                            bool fromCurrentProvider) {
  if (!volume) return nullptr;
  std::lock_guard guard(Lock());
  bool reached = requester == nullptr;
  for (_FLT_INSTANCE* instance : volume->instances) {
    if (!reached) {
      if (instance != requester) continue;
      reached = true;
      if (!fromCurrentProvider) continue;
    }
    if (!instance->tearingDown && instance->filter->registration.GenerateFileNameCallback)
      return instance;
  }
  return nullptr;
}

// The provider whose generate callback runs on this thread, and the
// operation it names. A provider that asks for the name of the operation it
// was handed (FltGetFileNameInformation with that CallbackData, as the
// documented name-provider sample does) is answered from below itself: the
// operation's TargetInstance is still the instance of the filter that asked
// first, above the provider, and starting there would ask the provider
// again without end. The documentation is silent on the mechanism; the
// Filter Manager keeps such a record for its name queries in progress.
struct Generating {
  _FLT_INSTANCE* provider = nullptr;
  PFLT_CALLBACK_DATA data = nullptr;
};
thread_local Generating generating;

NTSTATUS AskProvider(_FLT_INSTANCE* provider, io::FileObject* file, PFLT_CALLBACK_DATA data,
                     FLT_FILE_NAME_OPTIONS options, std::u16string& name) {
  if (CallbackAfterUnload(provider->filter, "name provider")) return STATUS_FLT_DELETING_OBJECT;
  NameControl control{};
  control.storage.resize(256);
  control.control.Name.Buffer = control.storage.data();
  control.control.Name.MaximumLength = static_cast<USHORT>(control.storage.size() * sizeof(WCHAR));
  BOOLEAN cache = FALSE;
  const Generating outer = generating;
  generating = {provider, data};
  NTSTATUS status = provider->filter->registration.GenerateFileNameCallback(
      provider, file->fo(), data, options, &cache, &control.control);
  generating = outer;
  if (NT_SUCCESS(status)) name = ToU16(control.control.Name);
  return status;
}

// The documented refusals of a name query (STATUS_FLT_INVALID_NAME_REQUEST):
// a thread whose TopLevelIrp is set (the file system is already active on it,
// and querying it again could deadlock or overflow the stack), paging I/O,
// the post-close path, and a short name in pre-create. A name that would
// have to come from the file system while TopLevelIrp is set is a cache miss
// (STATUS_FLT_NAME_CACHE_MISS) for FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP;
// the sim keeps no name cache, so that query always misses then. Above
// APC_LEVEL the query is a programming error; the verifier reports it and
// the sim refuses it the same way (the documentation names no status).
NTSTATUS CheckNameRequest(PFLT_CALLBACK_DATA data, FLT_FILE_NAME_OPTIONS options, bool preCreate) {
  const ULONG format = FltGetFileNameFormat(options);
  if (kernel::CurrentThread().irql > APC_LEVEL) {
    verifier::Report(verifier::Check::Irql, "file name query above APC_LEVEL");
    return STATUS_FLT_INVALID_NAME_REQUEST;
  }
  const ULONG method = FltGetFileNameQueryMethod(options);
  if (IoGetTopLevelIrp() != nullptr && method != FLT_FILE_NAME_QUERY_CACHE_ONLY) {
    return method == FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP
               ? STATUS_FLT_NAME_CACHE_MISS
               : STATUS_FLT_INVALID_NAME_REQUEST;
  }
  if (!data) return STATUS_SUCCESS;
  if (data->Iopb->IrpFlags & (IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO))
    return STATUS_FLT_INVALID_NAME_REQUEST;
  if (data->Iopb->MajorFunction == IRP_MJ_CLOSE &&
      (data->Flags & FLTFL_CALLBACK_DATA_POST_OPERATION))
    return STATUS_FLT_INVALID_NAME_REQUEST;
  if (format == FLT_FILE_NAME_SHORT && preCreate) return STATUS_FLT_INVALID_NAME_REQUEST;
  return STATUS_SUCCESS;
}

// A provider's answer in the documented order: a normalized name is asked
// for as such first; if the provider fails that, its opened name is asked
// for and normalized a component at a time through its normalization
// callbacks.
NTSTATUS NameFromProvider(_FLT_INSTANCE* provider, io::FileObject* file, PFLT_CALLBACK_DATA data,
                          FLT_FILE_NAME_OPTIONS options, bool preCreate, std::u16string& name) {
  const ULONG format = FltGetFileNameFormat(options);
  NTSTATUS status = AskProvider(provider, file, data, options, name);
  if (NT_SUCCESS(status) || format != FLT_FILE_NAME_NORMALIZED) return status;
  const FLT_FILE_NAME_OPTIONS opened = (options & ~0xffu) | FLT_FILE_NAME_OPENED;
  status = AskProvider(provider, file, data, opened, name);
  if (!NT_SUCCESS(status)) return status;
  const std::u16string& device = file->volume->deviceName;
  if (name.compare(0, device.size(), device) != 0) return STATUS_FLT_INVALID_NAME_REQUEST;
  std::u16string normalized;
  status = Normalize(file->volume, provider, file->fo(), name.substr(device.size()), preCreate,
                     normalized);
  if (NT_SUCCESS(status)) name = device + normalized;
  return status;
}

// No provider answers: the name comes from the create's own name while the
// file object is being opened, and from the file system below once it is.
NTSTATUS NameFromFileSystem(io::FileObject* file, ULONG format, bool preCreate,
                            std::u16string& name) {
  io::Volume* volume = file->volume;
  if (format == FLT_FILE_NAME_SHORT)
    return QueryFileSystemName(file, FileAlternateNameInformation, name);
  std::u16string path;
  if (preCreate || !Opened(file)) {
    path = OpenedPath(file->fo());
  } else {
    NTSTATUS status = QueryFileSystemName(file, FileNameInformation, path);
    if (!NT_SUCCESS(status)) return status;
  }
  if (format == FLT_FILE_NAME_NORMALIZED) {
    std::u16string normalized;
    NTSTATUS status = Normalize(volume, nullptr, file->fo(), path, preCreate, normalized);
    if (!NT_SUCCESS(status)) return status;
    path = normalized;
  }
  name = volume->deviceName + path;
  return STATUS_SUCCESS;
}

NTSTATUS BuildName(io::FileObject* file, _FLT_INSTANCE* requester, PFLT_CALLBACK_DATA data,
                   FLT_FILE_NAME_OPTIONS options, PFLT_FILE_NAME_INFORMATION* result) {
  *result = nullptr;
  const ULONG format = FltGetFileNameFormat(options);
  const ULONG method = FltGetFileNameQueryMethod(options);
  if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED &&
      format != FLT_FILE_NAME_SHORT) {
    return STATUS_INVALID_PARAMETER;
  }
  const bool preCreate = data && data->Iopb->MajorFunction == IRP_MJ_CREATE &&
                         !(data->Flags & FLTFL_CALLBACK_DATA_POST_OPERATION) &&
                         !(file && file->opened);
  NTSTATUS status = CheckNameRequest(data, options, preCreate);
  if (!NT_SUCCESS(status)) return status;
  if (!file || !file->volume) return STATUS_INVALID_PARAMETER;
  // No name cache is kept: a cache-only query always misses.
  if (method == FLT_FILE_NAME_QUERY_CACHE_ONLY) return STATUS_FLT_NAME_CACHE_MISS;
  io::Volume* volume = file->volume;
  _FLT_INSTANCE* provider =
      FindProvider(volume->filterVolume, requester,
                   (options & FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER) != 0);

  std::u16string fullName;
  status = provider ? NameFromProvider(provider, file, data, options, preCreate, fullName)
                    : NameFromFileSystem(file, format, preCreate, fullName);
  if (!NT_SUCCESS(status)) return status;
  if (format == FLT_FILE_NAME_NORMALIZED) {
    const std::u16string& device = volume->deviceName;
    if (fullName.compare(0, device.size(), device) != 0) return STATUS_FLT_INVALID_NAME_REQUEST;
  }

  auto* info = new NameInfo{};
  info->text = std::move(fullName);
  info->filter = requester ? requester->filter : nullptr;
  info->info.Size = sizeof(FLT_FILE_NAME_INFORMATION);
  info->info.Format = format;
  info->info.Name = Slice(info->text, 0, info->text.size());
  // A short name is the final component alone: no volume part.
  const size_t volumeLength = format == FLT_FILE_NAME_SHORT ? 0 : volume->deviceName.size();
  info->info.Volume = Slice(info->text, 0, std::min(info->text.size(), volumeLength));
  {
    std::lock_guard guard(S().lock);
    S().live.insert(info);
  }
  *result = &info->info;
  return STATUS_SUCCESS;
}

NameInfo* FindLive(PFLT_FILE_NAME_INFORMATION info) {
  auto* candidate = reinterpret_cast<NameInfo*>(info);
  return S().live.count(candidate) ? candidate : nullptr;
}

kernel::EndOfTestCheckRegistration leakedNames([] {
  std::lock_guard guard(S().lock);
  for (NameInfo* info : S().live) {
    if (info->reported) continue;
    info->reported = true;
    verifier::Report(verifier::Check::FilterManager,
                     "file name information still referenced at the end of the test: " +
                         std::string(info->text.begin(), info->text.end()));
  }
});

kernel::ResetHookRegistration resetNames(kernel::ResetOrder::FilterManager, [] {
  std::lock_guard guard(S().lock);
  for (NameInfo* info : S().live) delete info;
  S().live.clear();
});

}  // namespace

void CheckFilterReferencesAtUnload(_FLT_FILTER* filter) {
  ReportContextsAtUnload(filter);
  std::lock_guard guard(S().lock);
  for (NameInfo* info : S().live) {
    if (info->filter != filter || info->reported) continue;
    info->reported = true;
    verifier::Report(verifier::Check::FilterManager,
                     "file name information still referenced after its filter unloaded");
  }
}

}  // namespace sim::fltmgr

using namespace sim::fltmgr;

NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation) {
  if (!CallbackData || !FileNameInformation) return STATUS_INVALID_PARAMETER;
  sim::io::FileObject* file = sim::io::FileObjectFromBody(CallbackData->Iopb->TargetFileObject);
  PFLT_INSTANCE requester = CallbackData->Iopb->TargetInstance;
  if (generating.provider != nullptr && generating.data == CallbackData) {
    requester = generating.provider;
  }
  return BuildName(file, requester, CallbackData, NameOptions, FileNameInformation);
}

NTSTATUS FLTAPI FltGetFileNameInformationUnsafe(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance,
                                                FLT_FILE_NAME_OPTIONS NameOptions,
                                                PFLT_FILE_NAME_INFORMATION* FileNameInformation) {
  if (!FileObject || !FileNameInformation) return STATUS_INVALID_PARAMETER;
  return BuildName(sim::io::FileObjectFromBody(FileObject), Instance, nullptr, NameOptions,
                   FileNameInformation);
}

// The name a rename or link would give the file: RootDirectory-relative,
// a full name, or a bare name next to the file. The last component need not
// exist.
NTSTATUS FLTAPI FltGetDestinationFileNameInformation(
    PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, HANDLE RootDirectory, PWSTR FileName,
    ULONG FileNameLength, FLT_FILE_NAME_OPTIONS NameOptions,
    PFLT_FILE_NAME_INFORMATION* RetFileNameInformation) {
  if (!RetFileNameInformation) return STATUS_INVALID_PARAMETER;
  *RetFileNameInformation = nullptr;
  sim::io::FileObject* file = sim::io::FileObjectFromBody(FileObject);
  if (!file || !FileName || FileNameLength == 0) return STATUS_INVALID_PARAMETER;
  const ULONG format = FltGetFileNameFormat(NameOptions);
  if (format != FLT_FILE_NAME_NORMALIZED && format != FLT_FILE_NAME_OPENED)
    return STATUS_INVALID_PARAMETER;
  std::u16string name(reinterpret_cast<const char16_t*>(FileName), FileNameLength / sizeof(WCHAR));
  sim::io::Volume* volume = file->volume;
  std::u16string path;
  if (RootDirectory) {
    sim::kernel::KernelObject* object = sim::kernel::ReferenceHandle(RootDirectory, KernelMode);
    auto* root = dynamic_cast<sim::io::FileObject*>(object);
    if (!root) {
      if (object) object->Dereference();
      return STATUS_INVALID_HANDLE;
    }
    path = OpenedPath(root->fo());
    root->Dereference();
    if (path.empty() || path.back() != u'\\') path += u'\\';
    path += name;
  } else if (name[0] == u'\\') {
    sim::io::ParsedName parsed;
    NTSTATUS status = sim::io::ParseObjectName(name, parsed);
    if (!NT_SUCCESS(status)) return status;
    if (parsed.volume != volume) return STATUS_NOT_SAME_DEVICE;
    path = parsed.remainder;
  } else {
    std::u16string source;
    if (!FileSystemPath(file, source)) source = OpenedPath(FileObject);
    path = source.substr(0, source.rfind(u'\\') + 1) + name;
  }
  if (format == FLT_FILE_NAME_NORMALIZED) {
    std::u16string normalized;
    NTSTATUS status = Normalize(volume, nullptr, FileObject, path, true, normalized);
    if (!NT_SUCCESS(status)) return status;
    path = normalized;
  }
  auto* info = new NameInfo{};
  info->text = volume->deviceName + path;
  info->filter = IsInstance(Instance) ? Instance->filter : nullptr;
  info->info.Size = sizeof(FLT_FILE_NAME_INFORMATION);
  info->info.Format = format;
  info->info.Name = Slice(info->text, 0, info->text.size());
  info->info.Volume = Slice(info->text, 0, volume->deviceName.size());
  {
    std::lock_guard guard(S().lock);
    S().live.insert(info);
  }
  *RetFileNameInformation = &info->info;
  return STATUS_SUCCESS;
}

VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
  NameInfo* info;
  {
    std::lock_guard guard(S().lock);
    info = FindLive(FileNameInformation);
    if (!info) {
      sim::verifier::Report(sim::verifier::Check::FilterManager,
                            "FltReleaseFileNameInformation of unknown or freed name information");
      return;
    }
    if (--info->references > 0) return;
    S().live.erase(info);
  }
  delete info;
}

VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
  std::lock_guard guard(S().lock);
  NameInfo* info = FindLive(FileNameInformation);
  if (!info) {
    sim::verifier::Report(sim::verifier::Check::FilterManager,
                          "FltReferenceFileNameInformation of unknown name information");
    return;
  }
  ++info->references;
}

// Fills Share, Extension, Stream, FinalComponent and ParentDir from Name.
// For "\Device\HarddiskVolume1\dir\file.txt:s" they are "", "txt", ":s",
// "file.txt:s" and "\dir\". For the root ("\Device\HarddiskVolume1\") the
// parent directory is "\" and the final component empty (the documentation
// does not say; this is the simulation's choice).
NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation) {
  if (!FileNameInformation) return STATUS_INVALID_PARAMETER;
  PFLT_FILE_NAME_INFORMATION fni = FileNameInformation;
  const std::u16string_view name(reinterpret_cast<const char16_t*>(fni->Name.Buffer),
                                 fni->Name.Length / sizeof(WCHAR));
  const size_t volumeChars = fni->Volume.Length / sizeof(WCHAR);
  if (volumeChars > name.size()) return STATUS_INVALID_PARAMETER;
  auto slice = [&](size_t offset, size_t count) {
    UNICODE_STRING s;
    s.Buffer = count ? fni->Name.Buffer + offset : nullptr;
    s.Length = s.MaximumLength = static_cast<USHORT>(count * sizeof(WCHAR));
    return s;
  };
  fni->Share = slice(0, 0);
  const size_t lastSlash = name.rfind(u'\\');
  if (lastSlash == std::u16string_view::npos || lastSlash < volumeChars) {
    fni->ParentDir = slice(0, 0);
    fni->FinalComponent = slice(0, 0);
  } else {
    fni->ParentDir = slice(volumeChars, lastSlash + 1 - volumeChars);
    fni->FinalComponent = slice(lastSlash + 1, name.size() - lastSlash - 1);
  }
  const size_t finalStart = lastSlash == std::u16string_view::npos ? name.size() : lastSlash + 1;
  const size_t colon = name.find(u':', finalStart);
  const size_t streamStart = colon == std::u16string_view::npos ? name.size() : colon;
  fni->Stream = slice(streamStart, name.size() - streamStart);
  const size_t dot = name.substr(0, streamStart).rfind(u'.');
  if (dot != std::u16string_view::npos && dot >= finalStart) {
    fni->Extension = slice(dot + 1, streamStart - dot - 1);
  } else {
    fni->Extension = slice(0, 0);
  }
  fni->NamesParsed = FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                     FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR;
  return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltCheckAndGrowNameControl(PFLT_NAME_CONTROL NameCtrl, USHORT NewSize) {
  if (!NameCtrl) return STATUS_INVALID_PARAMETER;
  if (NameCtrl->Name.MaximumLength >= NewSize) return STATUS_SUCCESS;
  auto* control = reinterpret_cast<NameControl*>(NameCtrl);
  std::vector<WCHAR> grown((NewSize + 1) / sizeof(WCHAR) + 1);
  std::memcpy(grown.data(), NameCtrl->Name.Buffer, NameCtrl->Name.Length);
  control->storage.swap(grown);
  NameCtrl->Name.Buffer = control->storage.data();
  NameCtrl->Name.MaximumLength = NewSize;
  return STATUS_SUCCESS;
}
