#include "platform/os/Thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "platform/os/Os.h"

namespace lw::os {

tThread::tThread() = default;

tThread::~tThread() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void tThread::Resume() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true)) return;
  thread_ = std::thread([this] { Run(); });
}

uint32_t tThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  return returnValue_.load();
}

std::exception_ptr tThread::FatalException() const {
  std::lock_guard<std::mutex> guard(fatalMutex_);
  return fatal_;
}

void tThread::Run() {
  threadId_.store(GetCurrentThreadId());
  try {
    Execute();
  } catch (...) {
    std::lock_guard<std::mutex> guard(fatalMutex_);
    fatal_ = std::current_exception();
  }
  finished_.store(true);
}

void tThread::NameThread(const std::string& Name) {
#ifdef _WIN32
  // SetThreadDescription exists from Windows 10 1607 on; look it up so older systems still run.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return;
  auto fn = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
  if (fn == nullptr) return;
  std::wstring wide(Name.begin(), Name.end());
  fn(::GetCurrentThread(), wide.c_str());
#else
  // The kernel keeps 15 characters.
  pthread_setname_np(pthread_self(), Name.substr(0, 15).c_str());
#endif
}

}  // namespace lw::os
