// tThread: the thread class the reader and the control server derive from.
//
// Contract: the object is created suspended; Resume starts Execute on a new thread (once; later calls do
// nothing). Terminate sets the stop request that Terminated reads; Execute is expected to poll it.
// WaitFor blocks until Execute has returned and gives the thread's ReturnValue; on a thread that was never
// started it returns at once. An exception escaping Execute ends the thread and is kept in
// FatalException().
//
// Destruction never leaves a running thread behind: the destructor requests the stop and joins. A derived
// class whose Execute uses the derived class's own members must itself Terminate and WaitFor in its
// destructor, before those members are gone (as the reader does).
//
// Thread-safety: Terminate, Terminated, Finished are safe from any thread; Resume, WaitFor and destruction
// belong to the owning thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace lw::os {

class tThread {
 public:
  tThread();
  virtual ~tThread();
  tThread(const tThread&) = delete;
  tThread& operator=(const tThread&) = delete;

  void Resume();
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  bool Started() const { return started_.load(); }
  bool Finished() const { return finished_.load(); }
  uint32_t WaitFor();
  // Kernel id of the thread once it has started, 0 before.
  uint32_t ThreadID() const { return threadId_.load(); }
  std::exception_ptr FatalException() const;

  // Names the calling thread for debuggers and process listings (cut to the platform's limit).
  static void NameThread(const std::string& Name);

 protected:
  virtual void Execute() = 0;
  void SetReturnValue(uint32_t Value) { returnValue_.store(Value); }

 private:
  void Run();

  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint32_t> threadId_{0};
  std::atomic<uint32_t> returnValue_{0};
  mutable std::mutex fatalMutex_;
  std::exception_ptr fatal_;
};

}  // namespace lw::os
