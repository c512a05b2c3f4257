// Process, thread and clock services of the operating system.
//
// POSIX and Windows implementations are chosen by the build. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os/Types.h"

namespace lw::os {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the platform's tick count.
uint32_t GetTickCount();
void Sleep(uint32_t Milliseconds);

uint32_t GetCurrentProcessId();
// The calling thread's id: the kernel thread id on Linux, the Win32 thread id on Windows.
uint32_t GetCurrentThreadId();

// Per-thread last-error code, as the platform's GetLastError/SetLastError.
uint32_t GetLastError();
void SetLastError(uint32_t Code);

// Folder of the running executable, with a trailing path separator.
std::string ProgramFolder();
// The path separator of the platform ("/" or "\\").
char PathSeparator();

// Current time as a UTC file time.
tFileTime CurrentUtcFileTime();

// Full path of the main module (executable) of a running process, or empty when the process cannot be
// opened or its module name cannot be read.
std::string ProcessImageName(uint32_t ProcessId);

// Keeps freed heap memory for reuse instead of handing it back to the system at once. The queue and the
// grid free and allocate tens of thousands of small texts per second; without this the allocator keeps
// trimming and regrowing the heap. Called once at program start (and by the benchmarks).
void TuneAllocator();

}  // namespace lw::os
