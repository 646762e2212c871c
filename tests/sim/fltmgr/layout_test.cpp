// The x64 layouts of the structures the real Filter Manager shares with a
// minifilter (the native build uses these declarations): a member out of
// place would compile and then misread every operation.
#include <gtest/gtest.h>

#include <fltKernel.h>

namespace {

#define AT(type, member, offset) \
  static_assert(__builtin_offsetof(type, member) == (offset), #type "." #member)

AT(FLT_CALLBACK_DATA, Flags, 0);
AT(FLT_CALLBACK_DATA, Thread, 8);
AT(FLT_CALLBACK_DATA, Iopb, 16);
AT(FLT_CALLBACK_DATA, IoStatus, 24);
AT(FLT_CALLBACK_DATA, TagData, 40);
AT(FLT_CALLBACK_DATA, QueueLinks, 48);
AT(FLT_CALLBACK_DATA, RequestorMode, 80);
AT(FLT_IO_PARAMETER_BLOCK, MajorFunction, 4);
AT(FLT_IO_PARAMETER_BLOCK, OperationFlags, 6);
AT(FLT_IO_PARAMETER_BLOCK, TargetFileObject, 8);
AT(FLT_IO_PARAMETER_BLOCK, TargetInstance, 16);
AT(FLT_IO_PARAMETER_BLOCK, Parameters, 24);
AT(FLT_PARAMETERS, Create.Options, 8);
AT(FLT_PARAMETERS, Create.FileAttributes, 16);
AT(FLT_PARAMETERS, Create.ShareAccess, 18);
AT(FLT_PARAMETERS, Create.EaLength, 24);
AT(FLT_PARAMETERS, Create.EaBuffer, 32);
AT(FLT_PARAMETERS, Create.AllocationSize, 40);
AT(FLT_PARAMETERS, Read.Key, 8);
AT(FLT_PARAMETERS, Read.ByteOffset, 16);
AT(FLT_PARAMETERS, Read.ReadBuffer, 24);
AT(FLT_PARAMETERS, Read.MdlAddress, 32);
AT(FLT_PARAMETERS, SetFileInformation.FileInformationClass, 8);
AT(FLT_PARAMETERS, SetFileInformation.ParentOfTarget, 16);
AT(FLT_PARAMETERS, SetFileInformation.ReplaceIfExists, 24);
AT(FLT_PARAMETERS, SetFileInformation.InfoBuffer, 32);
AT(FLT_PARAMETERS, DirectoryControl.QueryDirectory.FileName, 8);
AT(FLT_PARAMETERS, DirectoryControl.QueryDirectory.FileInformationClass, 16);
AT(FLT_PARAMETERS, DirectoryControl.QueryDirectory.FileIndex, 24);
AT(FLT_PARAMETERS, DirectoryControl.QueryDirectory.DirectoryBuffer, 32);
AT(FLT_PARAMETERS, DirectoryControl.QueryDirectory.MdlAddress, 40);
AT(FLT_PARAMETERS, FileSystemControl.Common.FsControlCode, 16);
AT(FLT_PARAMETERS, QuerySecurity.Length, 8);
AT(FLT_PARAMETERS, QuerySecurity.SecurityBuffer, 16);
AT(FLT_RELATED_OBJECTS, Filter, 8);
AT(FLT_RELATED_OBJECTS, FileObject, 32);
AT(FLT_FILE_NAME_INFORMATION, Format, 4);
AT(FLT_FILE_NAME_INFORMATION, Name, 8);
AT(FLT_FILE_NAME_INFORMATION, ParentDir, 104);
AT(FLT_REGISTRATION, ContextRegistration, 8);
AT(FLT_REGISTRATION, GenerateFileNameCallback, 64);
AT(FLT_REGISTRATION, NormalizeNameComponentExCallback, 96);
AT(FLT_OPERATION_REGISTRATION, PreOperation, 8);
AT(FLT_CONTEXT_REGISTRATION, Size, 16);
AT(FLT_CONTEXT_REGISTRATION, PoolTag, 24);
static_assert(sizeof(FLT_PARAMETERS) == 48, "FLT_PARAMETERS");
static_assert(sizeof(FLT_CALLBACK_DATA) == 88, "FLT_CALLBACK_DATA");
static_assert(sizeof(FLT_RELATED_OBJECTS) == 48, "FLT_RELATED_OBJECTS");
static_assert(sizeof(FLT_REGISTRATION) == 112, "FLT_REGISTRATION");
static_assert(sizeof(FLT_CONTEXT_REGISTRATION) == 56, "FLT_CONTEXT_REGISTRATION");
static_assert(IRP_MJ_NETWORK_QUERY_OPEN == 0xF2 && IRP_MJ_OPERATION_END == 0x80, "pseudo majors");
static_assert(FLT_STREAM_CONTEXT == 0x0008 && FLT_STREAMHANDLE_CONTEXT == 0x0010, "context types");

#undef AT

}  // namespace
