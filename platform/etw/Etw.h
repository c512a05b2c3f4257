// The trace-session services the program calls: controller, consumer and provider sides.
//
// Names, argument order, status numbers (Win32 codes) and structure layouts are those of the platform's
// trace API, so the calling code reads as it would against the system, and so the Windows implementation
// can hand the blocks to advapi32 as they stand (sizes pinned below for 64-bit builds).
//
// tTraceApi is the one narrow interface; SystemTraceApi() returns the implementation the build chose
// (POSIX: our session host; Windows: advapi32). Unit tests substitute a scripted implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os/Types.h"

namespace lw::etw {

using ULONG = uint32_t;
using TRACEHANDLE = uint64_t;
using GUID = lw::tGuid;

inline constexpr TRACEHANDLE INVALID_PROCESSTRACE_HANDLE = ~TRACEHANDLE{0};

// Status codes (Win32).
inline constexpr ULONG ERROR_SUCCESS = 0;
inline constexpr ULONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr ULONG ERROR_PATH_NOT_FOUND = 3;
inline constexpr ULONG ERROR_ACCESS_DENIED = 5;
inline constexpr ULONG ERROR_INVALID_HANDLE = 6;
inline constexpr ULONG ERROR_NOT_ENOUGH_MEMORY = 8;  // TraceEvent: no free buffer, the event is lost
inline constexpr ULONG ERROR_INVALID_DATA = 13;
inline constexpr ULONG ERROR_BAD_LENGTH = 24;
inline constexpr ULONG ERROR_NOT_SUPPORTED = 50;
inline constexpr ULONG ERROR_INVALID_PARAMETER = 87;
inline constexpr ULONG ERROR_DISK_FULL = 112;
inline constexpr ULONG ERROR_BAD_PATHNAME = 161;
inline constexpr ULONG ERROR_ALREADY_EXISTS = 183;
inline constexpr ULONG ERROR_MORE_DATA = 234;
inline constexpr ULONG ERROR_NOACCESS = 998;
inline constexpr ULONG ERROR_PROCESS_ABORTED = 1067;  // POSIX: the session host ended unexpectedly
inline constexpr ULONG ERROR_CANCELLED = 1223;
inline constexpr ULONG ERROR_INVALID_TIME = 1901;
inline constexpr ULONG ERROR_WMI_INSTANCE_NOT_FOUND = 4201;
inline constexpr ULONG ERROR_WMI_ALREADY_ENABLED = 4206;

// Log-file modes.
inline constexpr ULONG EVENT_TRACE_FILE_MODE_SEQUENTIAL = 0x00000001;
inline constexpr ULONG EVENT_TRACE_FILE_MODE_CIRCULAR = 0x00000002;
inline constexpr ULONG EVENT_TRACE_REAL_TIME_MODE = 0x00000100;
inline constexpr ULONG EVENT_TRACE_USE_PAGED_MEMORY = 0x01000000;
// Consumer descriptor mode for a log file (as the reader sets it).
inline constexpr ULONG PROCESS_TRACE_MODE_LOGFILE = 0x00000002;

// Control codes.
inline constexpr ULONG EVENT_TRACE_CONTROL_QUERY = 0;
inline constexpr ULONG EVENT_TRACE_CONTROL_STOP = 1;
inline constexpr ULONG EVENT_TRACE_CONTROL_UPDATE = 2;
inline constexpr ULONG EVENT_TRACE_CONTROL_FLUSH = 3;

inline constexpr ULONG WNODE_FLAG_TRACED_GUID = 0x00020000;

// Classic event header types (EVENT_TRACE_HEADER.Class.Type).
inline constexpr uint8_t EVENT_TRACE_TYPE_INFO = 0;

struct WNODE_HEADER {
  ULONG BufferSize;
  ULONG ProviderId;
  uint64_t HistoricalContext;  // the session handle after a query or start
  int64_t TimeStamp;
  GUID Guid;
  ULONG ClientContext;  // clock: 1 QPC, 2 system time, 3 CPU cycles
  ULONG Flags;
};
static_assert(sizeof(WNODE_HEADER) == 48);

struct EVENT_TRACE_PROPERTIES {
  WNODE_HEADER Wnode;
  ULONG BufferSize;  // KB
  ULONG MinimumBuffers;
  ULONG MaximumBuffers;
  ULONG MaximumFileSize;  // MB
  ULONG LogFileMode;
  ULONG FlushTimer;
  ULONG EnableFlags;
  int32_t AgeLimit;
  ULONG NumberOfBuffers;
  ULONG FreeBuffers;
  ULONG EventsLost;
  ULONG BuffersWritten;
  ULONG LogBuffersLost;
  ULONG RealTimeBuffersLost;
  uint64_t LoggerThreadId;  // a HANDLE on the platform
  ULONG LogFileNameOffset;
  ULONG LoggerNameOffset;
};
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120);
static_assert(offsetof(EVENT_TRACE_PROPERTIES, LogFileNameOffset) == 112);

// Classic event header (48 bytes), as a provider writes it and a consumer receives it.
struct EVENT_TRACE_HEADER {
  uint16_t Size;  // header + payload when written; header + MOF when delivered
  uint8_t HeaderType;
  uint8_t MarkerFlags;
  struct {
    uint8_t Type;
    uint8_t Level;
    uint16_t Version;
  } Class;
  ULONG ThreadId;
  ULONG ProcessId;
  int64_t TimeStamp;  // delivered to consumers as a UTC file time
  GUID Guid;
  ULONG KernelTime;
  ULONG UserTime;
};
static_assert(sizeof(EVENT_TRACE_HEADER) == 48);

// One delivered event. MofData points at the payload, valid only during the callback.
struct EVENT_TRACE {
  EVENT_TRACE_HEADER Header;
  ULONG InstanceId;
  ULONG ParentInstanceId;
  GUID ParentGuid;
  void* MofData;
  ULONG MofLength;
  struct {
    uint8_t ProcessorNumber;
    uint8_t Alignment;
    uint16_t LoggerId;
  } BufferContext;
};
static_assert(sizeof(EVENT_TRACE) == 88);

// The header of a log file as a consumer learns it (TRACE_LOGFILE_HEADER). The whole structure is
// declared, not only the fields we use, so that EVENT_TRACE_LOGFILEA has the platform's layout and can
// be handed to advapi32 as it stands.
struct TRACE_LOGFILE_HEADER {
  ULONG BufferSize;  // bytes
  ULONG Version;
  ULONG ProviderVersion;
  ULONG NumberOfProcessors;
  int64_t EndTime;  // file time
  ULONG TimerResolution;
  ULONG MaximumFileSize;
  ULONG LogFileMode;
  ULONG BuffersWritten;
  ULONG StartBuffers;
  ULONG PointerSize;
  ULONG EventsLost;
  ULONG CpuSpeedInMHz;
  char16_t* LoggerName;  // not filled by our consumers
  char16_t* LogFileName;
  uint8_t TimeZone[172];  // TIME_ZONE_INFORMATION; not filled by our consumers
  int64_t BootTime;
  int64_t PerfFreq;
  int64_t StartTime;  // file time
  ULONG ReservedFlags;  // clock type
  ULONG BuffersLost;
};
static_assert(offsetof(TRACE_LOGFILE_HEADER, TimeZone) == 0x48);
static_assert(offsetof(TRACE_LOGFILE_HEADER, BootTime) == 0xF8);
static_assert(offsetof(TRACE_LOGFILE_HEADER, ReservedFlags) == 0x110);
static_assert(sizeof(TRACE_LOGFILE_HEADER) == 0x118);

struct EVENT_TRACE_LOGFILEA;
using PEVENT_CALLBACK = void (*)(EVENT_TRACE* Event);
using PEVENT_TRACE_BUFFER_CALLBACKA = ULONG (*)(EVENT_TRACE_LOGFILEA* Logfile);

// Consumer descriptor. For a file: LogFileName and LogFileMode 2; for a real-time session: LoggerName
// and LogFileMode 0x100.
struct EVENT_TRACE_LOGFILEA {
  char* LogFileName;
  char* LoggerName;
  int64_t CurrentTime;
  ULONG BuffersRead;
  ULONG LogFileMode;
  EVENT_TRACE CurrentEvent;
  TRACE_LOGFILE_HEADER LogfileHeader;  // filled by OpenTraceA
  PEVENT_TRACE_BUFFER_CALLBACKA BufferCallback;
  ULONG BufferSize;
  ULONG Filled;
  ULONG EventsLost;
  PEVENT_CALLBACK EventCallback;
  ULONG IsKernelTrace;
  void* Context;
};
static_assert(offsetof(EVENT_TRACE_LOGFILEA, LogfileHeader) == 120);
static_assert(offsetof(EVENT_TRACE_LOGFILEA, EventCallback) == 424);
static_assert(sizeof(EVENT_TRACE_LOGFILEA) == 448);

// Provider side.
enum WMIDPREQUESTCODE : ULONG { WMI_ENABLE_EVENTS = 4, WMI_DISABLE_EVENTS = 5 };
// Told of enable/disable; Context is the one given at registration. Buffer is the WNODE_HEADER from which
// GetTraceLoggerHandle takes the session handle.
using WMIDPREQUEST = ULONG (*)(WMIDPREQUESTCODE RequestCode, void* Context, ULONG* BufferSize,
                               void* Buffer);
struct TRACE_GUID_REGISTRATION {
  const GUID* Guid;
  void* RegHandle;
};

class tTraceApi {
 public:
  virtual ~tTraceApi() = default;

  // Controller.
  virtual ULONG StartTraceA(TRACEHANDLE* SessionHandle, const char* SessionName,
                            EVENT_TRACE_PROPERTIES* Properties) = 0;
  virtual ULONG ControlTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                              EVENT_TRACE_PROPERTIES* Properties, ULONG ControlCode) = 0;
  virtual ULONG QueryTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                            EVENT_TRACE_PROPERTIES* Properties) = 0;
  virtual ULONG UpdateTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                             EVENT_TRACE_PROPERTIES* Properties) = 0;
  // Buffer: a WNODE_HEADER (or a properties block, which starts with one).
  virtual TRACEHANDLE GetTraceLoggerHandle(void* Buffer) = 0;
  virtual ULONG EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, const GUID* ControlGuid,
                            TRACEHANDLE SessionHandle) = 0;

  // Consumer. OpenTraceA gives INVALID_PROCESSTRACE_HANDLE on failure with the reason in
  // lw::os::GetLastError(). ProcessTrace calls the descriptor's EventCallback on the calling thread.
  virtual TRACEHANDLE OpenTraceA(EVENT_TRACE_LOGFILEA* Logfile) = 0;
  virtual ULONG ProcessTrace(TRACEHANDLE* HandleArray, ULONG HandleCount, const tFileTime* StartTime,
                             const tFileTime* EndTime) = 0;
  virtual ULONG CloseTrace(TRACEHANDLE TraceHandle) = 0;

  // Provider.
  virtual ULONG RegisterTraceGuidsA(WMIDPREQUEST RequestAddress, void* RequestContext,
                                    const GUID* ControlGuid, ULONG GuidCount,
                                    TRACE_GUID_REGISTRATION* TraceGuidReg, const char* MofImagePath,
                                    const char* MofResourceName, TRACEHANDLE* RegistrationHandle) = 0;
  virtual ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) = 0;
  virtual ULONG TraceEvent(TRACEHANDLE SessionHandle, EVENT_TRACE_HEADER* EventTrace) = 0;
  virtual uint8_t GetTraceEnableLevel(TRACEHANDLE SessionHandle) = 0;
  virtual ULONG GetTraceEnableFlags(TRACEHANDLE SessionHandle) = 0;
};

// The implementation chosen by the build; lives for the whole process.
tTraceApi& SystemTraceApi();

}  // namespace lw::etw
