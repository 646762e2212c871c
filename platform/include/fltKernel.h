// Filter Manager declarations (fltKernel.h), written from the public
// documentation. Used by the simulation build and by the native kernel build
// (against mingw-w64's ntifs.h), so it depends only on names ntifs.h defines.
// Structure layouts follow the documented x64 layouts: the real Filter
// Manager reads them.
#pragma once
#include <ntifs.h>

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif

#ifdef __cplusplus
#define FLT_EXTERN_C_START extern "C" {
#define FLT_EXTERN_C_END }
#else
#define FLT_EXTERN_C_START
#define FLT_EXTERN_C_END
#endif

// ---------------------------------------------------------------------------
// Opaque objects

typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef struct _FLT_INSTANCE* PFLT_INSTANCE;
typedef struct _FLT_PORT* PFLT_PORT;
typedef struct _FLT_DEFERRED_IO_WORKITEM* PFLT_DEFERRED_IO_WORKITEM;
typedef PVOID PFLT_CONTEXT;
typedef struct _KTRANSACTION* PKTRANSACTION;
typedef struct _FLT_TAG_DATA_BUFFER* PFLT_TAG_DATA_BUFFER;
typedef struct _IO_DRIVER_CREATE_CONTEXT* PIO_DRIVER_CREATE_CONTEXT;

#define NULL_CONTEXT ((PFLT_CONTEXT)NULL)

// ---------------------------------------------------------------------------
// Pseudo major functions of operations that do not come as IRPs.

#define IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-1)
#define IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-2)
#define IRP_MJ_ACQUIRE_FOR_MOD_WRITE ((UCHAR)-3)
#define IRP_MJ_RELEASE_FOR_MOD_WRITE ((UCHAR)-4)
#define IRP_MJ_ACQUIRE_FOR_CC_FLUSH ((UCHAR)-5)
#define IRP_MJ_RELEASE_FOR_CC_FLUSH ((UCHAR)-6)
#define IRP_MJ_QUERY_OPEN ((UCHAR)-7)
#define IRP_MJ_FAST_IO_CHECK_IF_POSSIBLE ((UCHAR)-13)
#define IRP_MJ_NETWORK_QUERY_OPEN ((UCHAR)-14)
#define IRP_MJ_MDL_READ ((UCHAR)-15)
#define IRP_MJ_MDL_READ_COMPLETE ((UCHAR)-16)
#define IRP_MJ_PREPARE_MDL_WRITE ((UCHAR)-17)
#define IRP_MJ_MDL_WRITE_COMPLETE ((UCHAR)-18)
#define IRP_MJ_VOLUME_MOUNT ((UCHAR)-19)
#define IRP_MJ_VOLUME_DISMOUNT ((UCHAR)-20)
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)
#define FLT_INTERNAL_OPERATION_COUNT 22

// File-system types an instance setup callback is told (the structures
// fltKernel.h shares with user mode).
typedef enum _FLT_FILESYSTEM_TYPE {
  FLT_FSTYPE_UNKNOWN,
  FLT_FSTYPE_RAW,
  FLT_FSTYPE_NTFS,
  FLT_FSTYPE_FAT,
  FLT_FSTYPE_CDFS,
  FLT_FSTYPE_UDFS,
  FLT_FSTYPE_LANMAN,
  FLT_FSTYPE_WEBDAV,
  FLT_FSTYPE_RDPDR,
  FLT_FSTYPE_NFS,
  FLT_FSTYPE_MS_NETWARE,
  FLT_FSTYPE_NETWARE,
  FLT_FSTYPE_BSUDF,
  FLT_FSTYPE_MUP,
  FLT_FSTYPE_RSFX,
  FLT_FSTYPE_ROXIO_UDF1,
  FLT_FSTYPE_ROXIO_UDF2,
  FLT_FSTYPE_ROXIO_UDF3,
  FLT_FSTYPE_TACIT,
  FLT_FSTYPE_FS_REC,
  FLT_FSTYPE_INCD,
  FLT_FSTYPE_INCD_FAT,
  FLT_FSTYPE_EXFAT,
  FLT_FSTYPE_PSFS,
  FLT_FSTYPE_GPFS,
  FLT_FSTYPE_NPFS,
  FLT_FSTYPE_MSFS,
  FLT_FSTYPE_CSVFS,
  FLT_FSTYPE_REFS,
  FLT_FSTYPE_OPENAFS,
  FLT_FSTYPE_CIMFS
} FLT_FILESYSTEM_TYPE,
    *PFLT_FILESYSTEM_TYPE;

// ---------------------------------------------------------------------------
// Callback statuses

typedef enum _FLT_PREOP_CALLBACK_STATUS {
  FLT_PREOP_SUCCESS_WITH_CALLBACK,
  FLT_PREOP_SUCCESS_NO_CALLBACK,
  FLT_PREOP_PENDING,
  FLT_PREOP_DISALLOW_FASTIO,
  FLT_PREOP_COMPLETE,
  FLT_PREOP_SYNCHRONIZE,
  FLT_PREOP_DISALLOW_FSFILTER_IO
} FLT_PREOP_CALLBACK_STATUS,
    *PFLT_PREOP_CALLBACK_STATUS;

typedef enum _FLT_POSTOP_CALLBACK_STATUS {
  FLT_POSTOP_FINISHED_PROCESSING,
  FLT_POSTOP_MORE_PROCESSING_REQUIRED,
  FLT_POSTOP_DISALLOW_FSFILTER_IO
} FLT_POSTOP_CALLBACK_STATUS,
    *PFLT_POSTOP_CALLBACK_STATUS;

// ---------------------------------------------------------------------------
// Operation parameters

typedef ULONG FLT_CALLBACK_DATA_FLAGS;
#define FLTFL_CALLBACK_DATA_REISSUE_MASK 0x0000FFFF
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION 0x00000004
#define FLTFL_CALLBACK_DATA_SYSTEM_BUFFER 0x00000008
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000
#define FLTFL_CALLBACK_DATA_DRAINING_IO 0x00040000
#define FLTFL_CALLBACK_DATA_POST_OPERATION 0x00080000
#define FLTFL_CALLBACK_DATA_NEW_SYSTEM_BUFFER 0x00100000
#define FLTFL_CALLBACK_DATA_DIRTY 0x80000000

#define FLT_IS_IRP_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_IRP_OPERATION))
#define FLT_IS_FASTIO_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FAST_IO_OPERATION))
#define FLT_IS_FS_FILTER_OPERATION(Data) \
  (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION))
#define FLT_IS_REISSUED_IO(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_REISSUED_IO))
#define FLT_IS_SYSTEM_BUFFER(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_SYSTEM_BUFFER))

typedef ULONG FLT_POST_OPERATION_FLAGS;
#define FLTFL_POST_OPERATION_DRAINING 0x00000001

typedef union _FLT_PARAMETERS {
  struct {
    PIO_SECURITY_CONTEXT SecurityContext;
    ULONG Options;  // disposition in the high 8 bits, options in the low 24
    USHORT DECLSPEC_ALIGN(8) FileAttributes;
    USHORT ShareAccess;
    ULONG DECLSPEC_ALIGN(8) EaLength;
    PVOID EaBuffer;
    LARGE_INTEGER AllocationSize;
  } Create;

  struct {
    PIO_SECURITY_CONTEXT SecurityContext;
    ULONG Options;
    USHORT DECLSPEC_ALIGN(8) Reserved;
    USHORT ShareAccess;
    PVOID Parameters;  // PNAMED_PIPE_CREATE_PARAMETERS
  } CreatePipe;

  struct {
    PIO_SECURITY_CONTEXT SecurityContext;
    ULONG Options;
    USHORT DECLSPEC_ALIGN(8) Reserved;
    USHORT ShareAccess;
    PVOID Parameters;  // PMAILSLOT_CREATE_PARAMETERS
  } CreateMailslot;

  struct {
    ULONG Length;
    ULONG DECLSPEC_ALIGN(8) Key;
    LARGE_INTEGER ByteOffset;
    PVOID ReadBuffer;
    PMDL MdlAddress;
  } Read;

  struct {
    ULONG Length;
    ULONG DECLSPEC_ALIGN(8) Key;
    LARGE_INTEGER ByteOffset;
    PVOID WriteBuffer;
    PMDL MdlAddress;
  } Write;

  struct {
    ULONG Length;
    FILE_INFORMATION_CLASS DECLSPEC_ALIGN(8) FileInformationClass;
    PVOID InfoBuffer;
  } QueryFileInformation;

  struct {
    ULONG Length;
    FILE_INFORMATION_CLASS DECLSPEC_ALIGN(8) FileInformationClass;
    PFILE_OBJECT ParentOfTarget;
    union {
      struct {
        BOOLEAN ReplaceIfExists;
        BOOLEAN AdvanceOnly;
      };
      ULONG ClusterCount;
      HANDLE DeleteHandle;
    };
    PVOID InfoBuffer;
  } SetFileInformation;

  struct {
    ULONG Length;
    PVOID EaList;
    ULONG EaListLength;
    ULONG DECLSPEC_ALIGN(8) EaIndex;
    PVOID EaBuffer;
    PMDL MdlAddress;
  } QueryEa;

  struct {
    ULONG Length;
    PVOID EaBuffer;
    PMDL MdlAddress;
  } SetEa;

  struct {
    ULONG Length;
    FS_INFORMATION_CLASS DECLSPEC_ALIGN(8) FsInformationClass;
    PVOID VolumeBuffer;
  } QueryVolumeInformation;

  struct {
    ULONG Length;
    FS_INFORMATION_CLASS DECLSPEC_ALIGN(8) FsInformationClass;
    PVOID VolumeBuffer;
  } SetVolumeInformation;

  union {
    struct {
      ULONG Length;
      PUNICODE_STRING FileName;
      FILE_INFORMATION_CLASS FileInformationClass;
      ULONG DECLSPEC_ALIGN(8) FileIndex;
      PVOID DirectoryBuffer;
      PMDL MdlAddress;
    } QueryDirectory;

    struct {
      ULONG Length;
      ULONG DECLSPEC_ALIGN(8) CompletionFilter;
      ULONG DECLSPEC_ALIGN(8) Spare1;
      ULONG DECLSPEC_ALIGN(8) Spare2;
      PVOID DirectoryBuffer;
      PMDL MdlAddress;
    } NotifyDirectory;
  } DirectoryControl;

  union {
    struct {
      PVPB Vpb;
      PDEVICE_OBJECT DeviceObject;
    } VerifyVolume;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) FsControlCode;
    } Common;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) FsControlCode;
      PVOID InputBuffer;
      PVOID OutputBuffer;
      PMDL OutputMdlAddress;
    } Neither;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) FsControlCode;
      PVOID SystemBuffer;
    } Buffered;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) FsControlCode;
      PVOID InputSystemBuffer;
      PVOID OutputBuffer;
      PMDL OutputMdlAddress;
    } Direct;
  } FileSystemControl;

  union {
    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) IoControlCode;
    } Common;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) IoControlCode;
      PVOID InputBuffer;
      PVOID OutputBuffer;
      PMDL OutputMdlAddress;
    } Neither;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) IoControlCode;
      PVOID SystemBuffer;
    } Buffered;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) IoControlCode;
      PVOID InputSystemBuffer;
      PVOID OutputBuffer;
      PMDL OutputMdlAddress;
    } Direct;

    struct {
      ULONG OutputBufferLength;
      ULONG DECLSPEC_ALIGN(8) InputBufferLength;
      ULONG DECLSPEC_ALIGN(8) IoControlCode;
      PVOID InputBuffer;
      PVOID OutputBuffer;
    } FastIo;
  } DeviceIoControl;

  struct {
    PLARGE_INTEGER Length;
    ULONG DECLSPEC_ALIGN(8) Key;
    LARGE_INTEGER ByteOffset;
    PEPROCESS ProcessId;
    BOOLEAN FailImmediately;
    BOOLEAN ExclusiveLock;
  } LockControl;

  struct {
    SECURITY_INFORMATION SecurityInformation;
    ULONG DECLSPEC_ALIGN(8) Length;
    PVOID SecurityBuffer;
    PMDL MdlAddress;
  } QuerySecurity;

  struct {
    SECURITY_INFORMATION SecurityInformation;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
  } SetSecurity;

  struct {
    ULONG_PTR ProviderId;
    PVOID DataPath;
    ULONG BufferSize;
    PVOID Buffer;
  } WMI;

  struct {
    ULONG Length;
    PSID StartSid;
    PVOID SidList;  // PFILE_GET_QUOTA_INFORMATION
    ULONG SidListLength;
    PVOID QuotaBuffer;
    PMDL MdlAddress;
  } QueryQuota;

  struct {
    ULONG Length;
    PVOID QuotaBuffer;
    PMDL MdlAddress;
  } SetQuota;

  struct {
    PIRP Irp;
    PFILE_NETWORK_OPEN_INFORMATION NetworkInformation;
  } NetworkQueryOpen;

  struct {
    FS_FILTER_SECTION_SYNC_TYPE SyncType;
    ULONG PageProtection;
    PVOID OutputInformation;  // PFS_FILTER_SECTION_SYNC_OUTPUT
    ULONG Flags;
    ULONG AllocationAttributes;
  } AcquireForSectionSynchronization;

  struct {
    PLARGE_INTEGER EndingOffset;
    PERESOURCE* ResourceToRelease;
  } AcquireForModifiedPageWriter;

  struct {
    PERESOURCE ResourceToRelease;
  } ReleaseForModifiedPageWriter;

  struct {
    LARGE_INTEGER FileOffset;
    ULONG DECLSPEC_ALIGN(8) Length;
    ULONG Key;
    PMDL* MdlChain;
  } MdlRead;

  struct {
    PMDL MdlChain;
  } MdlReadComplete;

  struct {
    LARGE_INTEGER FileOffset;
    ULONG DECLSPEC_ALIGN(8) Length;
    ULONG Key;
    PMDL* MdlChain;
  } PrepareMdlWrite;

  struct {
    LARGE_INTEGER FileOffset;
    PMDL MdlChain;
  } MdlWriteComplete;

  struct {
    ULONG DeviceType;
  } MountVolume;

  struct {
    PVOID Argument1;
    PVOID Argument2;
    PVOID Argument3;
    PVOID Argument4;
    PVOID Argument5;
    LARGE_INTEGER Argument6;
  } Others;
} FLT_PARAMETERS, *PFLT_PARAMETERS;

typedef struct _FLT_IO_PARAMETER_BLOCK {
  ULONG IrpFlags;
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR OperationFlags;  // the IO_STACK_LOCATION flags (SL_*)
  UCHAR Reserved;
  PFILE_OBJECT TargetFileObject;
  PFLT_INSTANCE TargetInstance;
  FLT_PARAMETERS Parameters;
} FLT_IO_PARAMETER_BLOCK, *PFLT_IO_PARAMETER_BLOCK;

typedef struct _FLT_CALLBACK_DATA {
  FLT_CALLBACK_DATA_FLAGS Flags;
  PETHREAD const Thread;
  PFLT_IO_PARAMETER_BLOCK const Iopb;
  IO_STATUS_BLOCK IoStatus;
  PFLT_TAG_DATA_BUFFER TagData;
  union {
    struct {
      LIST_ENTRY QueueLinks;
      PVOID QueueContext[2];
    };
    PVOID FilterContext[4];
  };
  KPROCESSOR_MODE RequestorMode;
} FLT_CALLBACK_DATA, *PFLT_CALLBACK_DATA;

typedef struct _FLT_RELATED_OBJECTS {
  USHORT const Size;
  USHORT const TransactionContext;
  PFLT_FILTER const Filter;
  PFLT_VOLUME const Volume;
  PFLT_INSTANCE const Instance;
  PFILE_OBJECT const FileObject;
  PKTRANSACTION const Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef const struct _FLT_RELATED_OBJECTS* PCFLT_RELATED_OBJECTS;

// ---------------------------------------------------------------------------
// Callback types

typedef FLT_PREOP_CALLBACK_STATUS FLTAPI FLT_PRE_OPERATION_CALLBACK(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
typedef FLT_PRE_OPERATION_CALLBACK* PFLT_PRE_OPERATION_CALLBACK;

typedef FLT_POSTOP_CALLBACK_STATUS FLTAPI
FLT_POST_OPERATION_CALLBACK(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                            PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags);
typedef FLT_POST_OPERATION_CALLBACK* PFLT_POST_OPERATION_CALLBACK;

typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001

typedef NTSTATUS FLTAPI FLT_FILTER_UNLOAD_CALLBACK(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef FLT_FILTER_UNLOAD_CALLBACK* PFLT_FILTER_UNLOAD_CALLBACK;

typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
#define FLTFL_INSTANCE_SETUP_DETACHED_VOLUME 0x00000008

typedef NTSTATUS FLTAPI FLT_INSTANCE_SETUP_CALLBACK(PCFLT_RELATED_OBJECTS FltObjects,
                                                    FLT_INSTANCE_SETUP_FLAGS Flags,
                                                    DEVICE_TYPE VolumeDeviceType,
                                                    FLT_FILESYSTEM_TYPE VolumeFilesystemType);
typedef FLT_INSTANCE_SETUP_CALLBACK* PFLT_INSTANCE_SETUP_CALLBACK;

typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;

typedef NTSTATUS FLTAPI FLT_INSTANCE_QUERY_TEARDOWN_CALLBACK(
    PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
typedef FLT_INSTANCE_QUERY_TEARDOWN_CALLBACK* PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK;

typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;
#define FLTFL_INSTANCE_TEARDOWN_MANUAL 0x00000001
#define FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD 0x00000002
#define FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD 0x00000004
#define FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT 0x00000008
#define FLTFL_INSTANCE_TEARDOWN_INTERNAL_ERROR 0x00000010

typedef VOID FLTAPI FLT_INSTANCE_TEARDOWN_CALLBACK(PCFLT_RELATED_OBJECTS FltObjects,
                                                   FLT_INSTANCE_TEARDOWN_FLAGS Reason);
typedef FLT_INSTANCE_TEARDOWN_CALLBACK* PFLT_INSTANCE_TEARDOWN_CALLBACK;

// ---------------------------------------------------------------------------
// File names

typedef ULONG FLT_FILE_NAME_OPTIONS;
#define FLT_VALID_FILE_NAME_FORMATS 0x000000ff
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FltGetFileNameFormat(_NameOptions) ((_NameOptions)&FLT_VALID_FILE_NAME_FORMATS)
#define FLT_VALID_FILE_NAME_QUERY_METHODS 0x0000ff00
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400
#define FltGetFileNameQueryMethod(_NameOptions) ((_NameOptions)&FLT_VALID_FILE_NAME_QUERY_METHODS)
#define FLT_VALID_FILE_NAME_FLAGS 0xff000000
#define FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER 0x01000000
#define FLT_FILE_NAME_DO_NOT_CACHE 0x02000000
#define FLT_FILE_NAME_ALLOW_QUERY_ON_REPARSE 0x04000000

typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
#define FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008

typedef struct _FLT_FILE_NAME_INFORMATION {
  USHORT Size;
  FLT_FILE_NAME_PARSED_FLAGS NamesParsed;
  FLT_FILE_NAME_OPTIONS Format;
  UNICODE_STRING Name;
  UNICODE_STRING Volume;
  UNICODE_STRING Share;
  UNICODE_STRING Extension;
  UNICODE_STRING Stream;
  UNICODE_STRING FinalComponent;
  UNICODE_STRING ParentDir;
} FLT_FILE_NAME_INFORMATION, *PFLT_FILE_NAME_INFORMATION;

// What a name provider fills. Only Name is public; the rest belongs to the
// Filter Manager.
typedef struct _FLT_NAME_CONTROL {
  UNICODE_STRING Name;
} FLT_NAME_CONTROL, *PFLT_NAME_CONTROL;

typedef ULONG FLT_NORMALIZE_NAME_FLAGS;
#define FLTFL_NORMALIZE_NAME_CASE_SENSITIVE 0x01
#define FLTFL_NORMALIZE_NAME_DESTINATION_FILE_NAME 0x02

typedef NTSTATUS FLTAPI FLT_GENERATE_FILE_NAME(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                               PFLT_CALLBACK_DATA CallbackData,
                                               FLT_FILE_NAME_OPTIONS NameOptions,
                                               PBOOLEAN CacheFileNameInformation,
                                               PFLT_NAME_CONTROL FileName);
typedef FLT_GENERATE_FILE_NAME* PFLT_GENERATE_FILE_NAME;

typedef NTSTATUS FLTAPI FLT_NORMALIZE_NAME_COMPONENT(
    PFLT_INSTANCE Instance, PCUNICODE_STRING ParentDirectory, USHORT VolumeNameLength,
    PCUNICODE_STRING Component, PFILE_NAMES_INFORMATION ExpandComponentName,
    ULONG ExpandComponentNameLength, FLT_NORMALIZE_NAME_FLAGS Flags, PVOID* NormalizationContext);
typedef FLT_NORMALIZE_NAME_COMPONENT* PFLT_NORMALIZE_NAME_COMPONENT;

typedef NTSTATUS FLTAPI FLT_NORMALIZE_NAME_COMPONENT_EX(
    PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PCUNICODE_STRING ParentDirectory,
    USHORT VolumeNameLength, PCUNICODE_STRING Component,
    PFILE_NAMES_INFORMATION ExpandComponentName, ULONG ExpandComponentNameLength,
    FLT_NORMALIZE_NAME_FLAGS Flags, PVOID* NormalizationContext);
typedef FLT_NORMALIZE_NAME_COMPONENT_EX* PFLT_NORMALIZE_NAME_COMPONENT_EX;

typedef VOID FLTAPI FLT_NORMALIZE_CONTEXT_CLEANUP(PVOID* NormalizationContext);
typedef FLT_NORMALIZE_CONTEXT_CLEANUP* PFLT_NORMALIZE_CONTEXT_CLEANUP;

typedef NTSTATUS FLTAPI FLT_TRANSACTION_NOTIFICATION_CALLBACK(PCFLT_RELATED_OBJECTS FltObjects,
                                                              PFLT_CONTEXT TransactionContext,
                                                              ULONG NotificationMask);
typedef FLT_TRANSACTION_NOTIFICATION_CALLBACK* PFLT_TRANSACTION_NOTIFICATION_CALLBACK;

typedef NTSTATUS FLTAPI FLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK(PFLT_INSTANCE Instance,
                                                                   PFLT_CONTEXT SectionContext,
                                                                   PFLT_CALLBACK_DATA Data);
typedef FLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK* PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK;

// ---------------------------------------------------------------------------
// Contexts

typedef USHORT FLT_CONTEXT_TYPE;
#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_SECTION_CONTEXT 0x0040
#define FLT_CONTEXT_END 0xffff
#define FLT_ALL_CONTEXTS                                                               \
  (FLT_VOLUME_CONTEXT | FLT_INSTANCE_CONTEXT | FLT_FILE_CONTEXT | FLT_STREAM_CONTEXT | \
   FLT_STREAMHANDLE_CONTEXT | FLT_TRANSACTION_CONTEXT | FLT_SECTION_CONTEXT)

typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
#define FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH 0x0001
#define FLT_VARIABLE_SIZED_CONTEXTS ((SIZE_T)-1)

typedef VOID FLTAPI FLT_CONTEXT_CLEANUP_CALLBACK(PFLT_CONTEXT Context,
                                                 FLT_CONTEXT_TYPE ContextType);
typedef FLT_CONTEXT_CLEANUP_CALLBACK* PFLT_CONTEXT_CLEANUP_CALLBACK;

typedef PVOID FLTAPI FLT_CONTEXT_ALLOCATE_CALLBACK(POOL_TYPE PoolType, SIZE_T Size,
                                                   FLT_CONTEXT_TYPE ContextType);
typedef FLT_CONTEXT_ALLOCATE_CALLBACK* PFLT_CONTEXT_ALLOCATE_CALLBACK;

typedef VOID FLTAPI FLT_CONTEXT_FREE_CALLBACK(PVOID Pool, FLT_CONTEXT_TYPE ContextType);
typedef FLT_CONTEXT_FREE_CALLBACK* PFLT_CONTEXT_FREE_CALLBACK;

typedef struct _FLT_CONTEXT_REGISTRATION {
  FLT_CONTEXT_TYPE ContextType;
  FLT_CONTEXT_REGISTRATION_FLAGS Flags;
  PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
  SIZE_T Size;
  ULONG PoolTag;
  PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
  PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
  PVOID Reserved1;
} FLT_CONTEXT_REGISTRATION, *PFLT_CONTEXT_REGISTRATION;
typedef const FLT_CONTEXT_REGISTRATION* PCFLT_CONTEXT_REGISTRATION;

typedef enum _FLT_SET_CONTEXT_OPERATION {
  FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
  FLT_SET_CONTEXT_KEEP_IF_EXISTS
} FLT_SET_CONTEXT_OPERATION,
    *PFLT_SET_CONTEXT_OPERATION;

// ---------------------------------------------------------------------------
// Registration

typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
#define FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO 0x00000001
#define FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO 0x00000002
#define FLTFL_OPERATION_REGISTRATION_SKIP_NON_DASD_IO 0x00000004
#define FLTFL_OPERATION_REGISTRATION_SKIP_NON_CACHED_NON_PAGING_IO 0x00000008

typedef struct _FLT_OPERATION_REGISTRATION {
  UCHAR MajorFunction;
  FLT_OPERATION_REGISTRATION_FLAGS Flags;
  PFLT_PRE_OPERATION_CALLBACK PreOperation;
  PFLT_POST_OPERATION_CALLBACK PostOperation;
  PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;

typedef ULONG FLT_REGISTRATION_FLAGS;
#define FLTFL_REGISTRATION_DO_NOT_SUPPORT_SERVICE_STOP 0x00000001
#define FLTFL_REGISTRATION_SUPPORT_NPFS_MSFS 0x00000002
#define FLTFL_REGISTRATION_SUPPORT_DAX_VOLUME 0x00000004
#define FLTFL_REGISTRATION_SUPPORT_WCOS 0x00000008

#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0202

typedef struct _FLT_REGISTRATION {
  USHORT Size;
  USHORT Version;
  FLT_REGISTRATION_FLAGS Flags;
  const FLT_CONTEXT_REGISTRATION* ContextRegistration;
  const FLT_OPERATION_REGISTRATION* OperationRegistration;
  PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
  PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
  PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
  PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
  PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
  PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
  PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
  PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
  PFLT_TRANSACTION_NOTIFICATION_CALLBACK TransactionNotificationCallback;
  PFLT_NORMALIZE_NAME_COMPONENT_EX NormalizeNameComponentExCallback;
  PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK SectionNotificationCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;

// ---------------------------------------------------------------------------
// Deferred work

typedef VOID FLTAPI FLT_DEFERRED_IO_WORKITEM_ROUTINE(PFLT_DEFERRED_IO_WORKITEM FltWorkItem,
                                                     PFLT_CALLBACK_DATA CallbackData,
                                                     PVOID Context);
typedef FLT_DEFERRED_IO_WORKITEM_ROUTINE* PFLT_DEFERRED_IO_WORKITEM_ROUTINE;

// ---------------------------------------------------------------------------
// Create flags of FltCreateFileEx(2)

#ifndef IO_IGNORE_SHARE_ACCESS_CHECK
#define IO_IGNORE_SHARE_ACCESS_CHECK 0x0800
#endif
#ifndef IO_FORCE_ACCESS_CHECK
#define IO_FORCE_ACCESS_CHECK 0x0001
#endif
#ifndef IO_NO_PARAMETER_CHECKING
#define IO_NO_PARAMETER_CHECKING 0x0100
#endif
#define FLT_PUSH_LOCK_ENABLE_AUTO_BOOST 0x00000001

// ---------------------------------------------------------------------------
// Routines

FLT_EXTERN_C_START

// Registration and filtering
NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                  PFLT_FILTER* RetFilter);
NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter);
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter);

// Volumes and instances
NTSTATUS FLTAPI FltGetVolumeFromName(PFLT_FILTER Filter, PCUNICODE_STRING VolumeName,
                                     PFLT_VOLUME* RetVolume);
NTSTATUS FLTAPI FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName,
                                 PULONG BufferSizeNeeded);
NTSTATUS FLTAPI FltAttachVolume(PFLT_FILTER Filter, PFLT_VOLUME Volume,
                                PCUNICODE_STRING InstanceName, PFLT_INSTANCE* RetInstance);
NTSTATUS FLTAPI FltDetachVolume(PFLT_FILTER Filter, PFLT_VOLUME Volume,
                                PCUNICODE_STRING InstanceName);
NTSTATUS FLTAPI FltGetVolumeFromInstance(PFLT_INSTANCE Instance, PFLT_VOLUME* RetVolume);
NTSTATUS FLTAPI FltGetFilterFromInstance(PFLT_INSTANCE Instance, PFLT_FILTER* RetFilter);
NTSTATUS FLTAPI FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume,
                                             PCUNICODE_STRING InstanceName,
                                             PFLT_INSTANCE* RetInstance);
NTSTATUS FLTAPI FltObjectReference(PVOID FltObject);
VOID FLTAPI FltObjectDereference(PVOID FltObject);

// Operations
VOID FLTAPI FltCompletePendedPreOperation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_PREOP_CALLBACK_STATUS CallbackStatus, PVOID Context);
VOID FLTAPI FltCompletePendedPostOperation(PFLT_CALLBACK_DATA CallbackData);
VOID FLTAPI FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data);
VOID FLTAPI FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data);
BOOLEAN FLTAPI FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data);
BOOLEAN FLTAPI FltIsOperationSynchronous(PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FLTAPI FltLockUserBuffer(PFLT_CALLBACK_DATA CallbackData);
ULONG FLTAPI FltGetRequestorProcessId(PFLT_CALLBACK_DATA CallbackData);
HANDLE FLTAPI FltGetRequestorProcessIdEx(PFLT_CALLBACK_DATA CallbackData);
PEPROCESS FLTAPI FltGetRequestorProcess(PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FLTAPI FltGetRequestorSessionId(PFLT_CALLBACK_DATA CallbackData, PULONG SessionId);

// Contexts
NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType,
                                   SIZE_T ContextSize, POOL_TYPE PoolType,
                                   PFLT_CONTEXT* ReturnedContext);
NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT* OldContext);
NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    PFLT_CONTEXT* Context);
NTSTATUS FLTAPI FltSetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                          FLT_SET_CONTEXT_OPERATION Operation,
                                          PFLT_CONTEXT NewContext, PFLT_CONTEXT* OldContext);
NTSTATUS FLTAPI FltGetStreamHandleContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                          PFLT_CONTEXT* Context);
VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context);
VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context);
VOID FLTAPI FltDeleteContext(PFLT_CONTEXT Context);

// File names
NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation);
NTSTATUS FLTAPI FltGetFileNameInformationUnsafe(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance,
                                                FLT_FILE_NAME_OPTIONS NameOptions,
                                                PFLT_FILE_NAME_INFORMATION* FileNameInformation);
NTSTATUS FLTAPI FltGetDestinationFileNameInformation(
    PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, HANDLE RootDirectory, PWSTR FileName,
    ULONG FileNameLength, FLT_FILE_NAME_OPTIONS NameOptions,
    PFLT_FILE_NAME_INFORMATION* RetFileNameInformation);
NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
NTSTATUS FLTAPI FltCheckAndGrowNameControl(PFLT_NAME_CONTROL NameCtrl, USHORT NewSize);

// Deferred work
PFLT_DEFERRED_IO_WORKITEM FLTAPI FltAllocateDeferredIoWorkItem(void);
VOID FLTAPI FltFreeDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem);
NTSTATUS FLTAPI FltQueueDeferredIoWorkItem(PFLT_DEFERRED_IO_WORKITEM FltWorkItem,
                                           PFLT_CALLBACK_DATA Data,
                                           PFLT_DEFERRED_IO_WORKITEM_ROUTINE WorkerRoutine,
                                           WORK_QUEUE_TYPE QueueType, PVOID Context);

// I/O from the filter
NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
                                PVOID EaBuffer, ULONG EaLength, ULONG Flags);
NTSTATUS FLTAPI FltCreateFileEx2(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                 PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes,
                                 PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                 ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                 ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags,
                                 PIO_DRIVER_CREATE_CONTEXT DriverContext);
NTSTATUS FLTAPI FltClose(HANDLE FileHandle);
// Post-create only: closes below the caller a file the layers below opened.
VOID FLTAPI FltCancelFileOpen(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject);
NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned);
NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS FLTAPI FltQuerySecurityObject(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                       SECURITY_INFORMATION SecurityInformation,
                                       PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                       PULONG LengthNeeded);
NTSTATUS FLTAPI FltQueryVolumeInformation(PFLT_INSTANCE Instance, PIO_STATUS_BLOCK Iosb,
                                          PVOID FsInformation, ULONG Length,
                                          FS_INFORMATION_CLASS FsInformationClass);
NTSTATUS FLTAPI FltQueryVolumeInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                              PVOID FsInformation, ULONG Length,
                                              FS_INFORMATION_CLASS FsInformationClass,
                                              PULONG LengthReturned);

FLT_EXTERN_C_END

#include "flt/ports.h"
