// What the main window needs from the layers below it, as one narrow seam: the reader thread's
// operations, the session log file's path, the creation of the control server, the registry, the
// supplier registry of the control server, process names and the extended settings dialog.
//
// DefaultWindowServices() gives the real ones (the reader thread tETWReaderThread, the control server
// tRPCServerThread, the system registry, the dialog ExtendedTraceSettings); the window's tests give
// scripted ones or real objects of their own. All of it is used on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/registry/Registry.h"

class tSupplierRegistry;

// The reader thread as the window drives it. Deleting it stops the reader: stop request, the session
// stopped (if the reader started it) or its real-time delivery switched off, then the wait for the thread.
class tReaderControl {
 public:
  virtual ~tReaderControl() = default;
  virtual void Resume() = 0;
  // The index of the level choice: 0, 1 or 2, or -1 for a typed text that matches no item.
  virtual void SetLevelFilter(int Index) = 0;
  virtual uint32_t FlushSession() = 0;
  virtual bool IsProcessing() const = 0;
  virtual uint32_t GetStatus() const = 0;
};

struct tWindowServices {
  // Sets the process-wide path of the session's log file (before the reader is created).
  std::function<void(const std::string& Path)> SetCurrentLogFile;
  // Creates the reader suspended.
  std::function<std::unique_ptr<tReaderControl>()> CreateReader;
  // Creates the control server and publishes it; throws when it cannot start. May be empty.
  std::function<void()> CreateControlServer;
  // The registry that the registry trace-level panel reads and writes; null: lw::reg::SystemRegistry().
  lw::reg::tRegistryApi* Registry = nullptr;
  // The supplier registry of the published control server (null while there is none). The supplier
  // panel's poll asks for it at every tick. May be empty: no supplier is ever listed.
  std::function<tSupplierRegistry*()> Suppliers;
  // The executable's file name of a process, or "PID: <n>"; empty: GetProcessName.
  std::function<std::string(uint32_t ProcessID)> ProcessName;
  // Opens the extended settings dialog for one supplier (the dialog decides whether it opens at all).
  // May be empty: the "..." buttons do nothing.
  std::function<void(uint32_t ProcessID, uint32_t SupplierID)> ShowForSupplier;
};

// The real services; defined by the program's own unit (ReaderThreadServices.cpp).
tWindowServices DefaultWindowServices();
