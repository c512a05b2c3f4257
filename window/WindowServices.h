// What the main window needs from the layers below it, as one narrow seam: the reader thread's
// operations, the session log file's path, and the creation of the control server.
//
// DefaultWindowServices() gives the real ones (the reader thread tETWReaderThread and the control server
// tRPCServerThread); the window's tests give scripted ones. All of it is used on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
};

// The real services; defined by the program's own unit (ReaderThreadServices.cpp).
tWindowServices DefaultWindowServices();
