// logwarden-traced: the host of one trace session.
//
//   logwarden-traced --dir DIR --name SESSION --session HEX --report-fd N
//
// Started by StartTraceA, never by hand. It forks once so that the session outlives its starter (the
// starter reaps the first process at once), leaves the starter's session and terminal, and writes the
// start's outcome as one Reply frame to descriptor N: status and the properties the session runs with.
// It then serves until the session is stopped (EVENT_TRACE_CONTROL_STOP or SIGTERM).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/etw/posix/SessionHost.h"
#include "platform/etw/posix/Socket.h"

namespace {

void OnTerm(int) { lw::etw::posix::tSessionHost::RequestStopFromSignal(); }

void ReportPipe(int Fd, uint32_t Status, const lw::etw::wire::tSession& Session) {
  if (Fd < 0) return;
  lw::etw::wire::tFrameWriter w(lw::etw::wire::tMsg::Reply);
  w.U32(Status);
  w.Session(Session);
  auto frame = w.Finish();
  size_t done = 0;
  while (done < frame.size()) {
    ssize_t n = ::write(Fd, frame.data() + done, frame.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(Fd);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lw::etw;
  posix::tSessionHost::tOptions options;
  std::string hex;
  int reportFd = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    std::string value = argv[i + 1];
    if (key == "--dir") {
      options.Dir = value;
    } else if (key == "--name") {
      options.Name = value;
    } else if (key == "--session") {
      hex = value;
    } else if (key == "--report-fd") {
      reportFd = std::atoi(value.c_str());
    } else {
      return 2;
    }
  }
  if (options.Dir.empty() || wire::DecodeSessionHex(hex, options.Session) != wire::tDecode::Ok) {
    ReportPipe(reportFd, ERROR_INVALID_PARAMETER, {});
    return 2;
  }

  pid_t child = ::fork();
  if (child < 0) {
    ReportPipe(reportFd, ERROR_NOT_ENOUGH_MEMORY, {});
    return 1;
  }
  if (child > 0) _exit(0);
  ::setsid();
  // Nothing of the starter's stays open here but the report pipe.
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != reportFd) ::close(fd);
  }
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGINT, SIG_IGN);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnTerm;
  ::sigaction(SIGTERM, &sa, nullptr);
  if (::chdir("/") != 0) {
    // the log file path is absolute; staying in the starter's folder is harmless
  }

  posix::tSessionHost host;
  uint32_t status = host.Start(options);
  ReportPipe(reportFd, status, host.Snapshot());
  if (status != ERROR_SUCCESS) return 1;
  host.Run();
  return 0;
}
