// The trace API on Windows: every call goes to advapi32 as it stands.
//
// The structures of platform/etw/Etw.h have the platform's layout (pinned there by static_asserts for
// 64-bit builds), so the blocks pass through unchanged. The entry points are declared here from their
// documented signatures; no platform header is included, so our own type names do not meet the SDK's.
#include <cstdint>

#include "platform/etw/Etw.h"

namespace {

using lw::etw::EVENT_TRACE_HEADER;
using lw::etw::EVENT_TRACE_LOGFILEA;
using lw::etw::EVENT_TRACE_PROPERTIES;
using lw::etw::GUID;
using lw::etw::TRACE_GUID_REGISTRATION;
using lw::etw::TRACEHANDLE;
using lw::etw::ULONG;
using lw::etw::WMIDPREQUEST;

}  // namespace

extern "C" {
__declspec(dllimport) ULONG __stdcall StartTraceA(TRACEHANDLE* SessionHandle, const char* SessionName,
                                                  EVENT_TRACE_PROPERTIES* Properties);
__declspec(dllimport) ULONG __stdcall ControlTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                                                    EVENT_TRACE_PROPERTIES* Properties, ULONG ControlCode);
__declspec(dllimport) ULONG __stdcall QueryTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                                                  EVENT_TRACE_PROPERTIES* Properties);
__declspec(dllimport) ULONG __stdcall UpdateTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                                                   EVENT_TRACE_PROPERTIES* Properties);
__declspec(dllimport) TRACEHANDLE __stdcall GetTraceLoggerHandle(void* Buffer);
__declspec(dllimport) ULONG __stdcall EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel,
                                                  const GUID* ControlGuid, TRACEHANDLE SessionHandle);
__declspec(dllimport) TRACEHANDLE __stdcall OpenTraceA(EVENT_TRACE_LOGFILEA* Logfile);
__declspec(dllimport) ULONG __stdcall ProcessTrace(TRACEHANDLE* HandleArray, ULONG HandleCount,
                                                   const lw::tFileTime* StartTime, const lw::tFileTime* EndTime);
__declspec(dllimport) ULONG __stdcall CloseTrace(TRACEHANDLE TraceHandle);
__declspec(dllimport) ULONG __stdcall RegisterTraceGuidsA(WMIDPREQUEST RequestAddress, void* RequestContext,
                                                          const GUID* ControlGuid, ULONG GuidCount,
                                                          TRACE_GUID_REGISTRATION* TraceGuidReg,
                                                          const char* MofImagePath, const char* MofResourceName,
                                                          TRACEHANDLE* RegistrationHandle);
__declspec(dllimport) ULONG __stdcall UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
__declspec(dllimport) ULONG __stdcall TraceEvent(TRACEHANDLE SessionHandle, EVENT_TRACE_HEADER* EventTrace);
__declspec(dllimport) unsigned char __stdcall GetTraceEnableLevel(TRACEHANDLE SessionHandle);
__declspec(dllimport) ULONG __stdcall GetTraceEnableFlags(TRACEHANDLE SessionHandle);
}

namespace lw::etw {
namespace {

class tWinTraceApi final : public tTraceApi {
 public:
  ULONG StartTraceA(TRACEHANDLE* SessionHandle, const char* SessionName,
                    EVENT_TRACE_PROPERTIES* Properties) override {
    return ::StartTraceA(SessionHandle, SessionName, Properties);
  }
  ULONG ControlTraceA(TRACEHANDLE SessionHandle, const char* SessionName, EVENT_TRACE_PROPERTIES* Properties,
                      ULONG ControlCode) override {
    return ::ControlTraceA(SessionHandle, SessionName, Properties, ControlCode);
  }
  ULONG QueryTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                    EVENT_TRACE_PROPERTIES* Properties) override {
    return ::QueryTraceA(SessionHandle, SessionName, Properties);
  }
  ULONG UpdateTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                     EVENT_TRACE_PROPERTIES* Properties) override {
    return ::UpdateTraceA(SessionHandle, SessionName, Properties);
  }
  TRACEHANDLE GetTraceLoggerHandle(void* Buffer) override { return ::GetTraceLoggerHandle(Buffer); }
  ULONG EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, const GUID* ControlGuid,
                    TRACEHANDLE SessionHandle) override {
    return ::EnableTrace(Enable, EnableFlag, EnableLevel, ControlGuid, SessionHandle);
  }
  TRACEHANDLE OpenTraceA(EVENT_TRACE_LOGFILEA* Logfile) override { return ::OpenTraceA(Logfile); }
  ULONG ProcessTrace(TRACEHANDLE* HandleArray, ULONG HandleCount, const tFileTime* StartTime,
                     const tFileTime* EndTime) override {
    return ::ProcessTrace(HandleArray, HandleCount, StartTime, EndTime);
  }
  ULONG CloseTrace(TRACEHANDLE TraceHandle) override { return ::CloseTrace(TraceHandle); }
  ULONG RegisterTraceGuidsA(WMIDPREQUEST RequestAddress, void* RequestContext, const GUID* ControlGuid,
                            ULONG GuidCount, TRACE_GUID_REGISTRATION* TraceGuidReg, const char* MofImagePath,
                            const char* MofResourceName, TRACEHANDLE* RegistrationHandle) override {
    return ::RegisterTraceGuidsA(RequestAddress, RequestContext, ControlGuid, GuidCount, TraceGuidReg,
                                 MofImagePath, MofResourceName, RegistrationHandle);
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) override {
    return ::UnregisterTraceGuids(RegistrationHandle);
  }
  ULONG TraceEvent(TRACEHANDLE SessionHandle, EVENT_TRACE_HEADER* EventTrace) override {
    return ::TraceEvent(SessionHandle, EventTrace);
  }
  uint8_t GetTraceEnableLevel(TRACEHANDLE SessionHandle) override { return ::GetTraceEnableLevel(SessionHandle); }
  ULONG GetTraceEnableFlags(TRACEHANDLE SessionHandle) override { return ::GetTraceEnableFlags(SessionHandle); }
};

}  // namespace

tTraceApi& SystemTraceApi() {
  static tWinTraceApi api;
  return api;
}

}  // namespace lw::etw
