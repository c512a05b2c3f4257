// Consuming trace log files: OpenTraceA, ProcessTrace and CloseTrace for a descriptor that names a file.
//
// These functions have the semantics of the platform's calls for a descriptor with LogFileName set
// (LogFileMode 2); the trace API implementation dispatches file handles here:
// - OpenFileTrace reads and checks the header buffer, fills the descriptor's LogfileHeader and
//   BufferSize, and returns a handle with bit 62 set. On failure it returns INVALID_PROCESSTRACE_HANDLE
//   (all bits set) with lw::os::GetLastError() 2 (missing file), 5 (no access), 13 (not a trace log) or
//   87 (no descriptor or no file name).
// - ProcessFileTraces delivers, on the calling thread, the header event of each file and every classic
//   event to the EventCallback the descriptor had at open, merged across the handles by time, and calls
//   the BufferCallback after each buffer (a zero return stops the call with 1223). Events outside
//   [Start, End] are passed over (the header event is always delivered). Returns 0 when every file was
//   walked (damaged buffers are skipped, as the platform does), 6 for an unknown handle, 87 for a count
//   of 0 or above 64. A second call on a handle walks its file again.
// - CloseFileTrace releases the handle (0, or 6 when unknown); a ProcessFileTraces running on it on
//   another thread stops at the next buffer with 1223.
// The descriptor is copied at open; later changes to it do not affect the open handle. Thread-safe: each
// handle may be used from any thread, one ProcessFileTraces at a time per handle.
#pragma once

#include "platform/etw/Etw.h"
#include "platform/etw/etl/Reader.h"

namespace lw::etw {

inline constexpr TRACEHANDLE kFileTraceHandleBit = TRACEHANDLE{1} << 62;

bool IsFileTraceHandle(TRACEHANDLE Handle);
TRACEHANDLE OpenFileTrace(EVENT_TRACE_LOGFILEA* Logfile);
ULONG ProcessFileTraces(TRACEHANDLE* Handles, ULONG Count, const tFileTime* Start, const tFileTime* End);
ULONG CloseFileTrace(TRACEHANDLE Handle);
// Counts of the last (or running) walk of an open handle: skipped buffers, records by kind. False for an
// unknown handle.
bool FileTraceStats(TRACEHANDLE Handle, lw::etl::tReadStats& Out);

// The record as a classic consumer receives it. MofData points into the record's payload.
void FillEventTrace(const lw::etl::tRecord& Record, EVENT_TRACE& Out);
void FillLogfileHeader(const lw::etl::tLogHeader& Header, TRACE_LOGFILE_HEADER& Out);

}  // namespace lw::etw
