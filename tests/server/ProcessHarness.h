// Real processes for the control server's end-to-end tests (POSIX): a child with its standard output
// read line by line, an optional pipe to its standard input, and a stop that never leaves it behind.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lwtest {

class tChild {
 public:
  // Starts Program with Args; its standard error goes to ours (the supplier's diagnostics end up in the
  // test's log). WithInput gives it a pipe as standard input (closed by CloseInput or the stop).
  tChild(const std::string& Program, const std::vector<std::string>& Args, bool WithInput = false) {
    int out[2];
    int in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (WithInput && pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      if (WithInput) dup2(in[0], STDIN_FILENO);
      close(out[0]);
      close(out[1]);
      if (WithInput) {
        close(in[0]);
        close(in[1]);
      }
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(Program.c_str()));
      for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(Program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    outFd_ = out[0];
    if (WithInput) {
      close(in[0]);
      inFd_ = in[1];
    }
    reader_ = std::thread([this] { readLines(); });
  }
  ~tChild() { Stop(); }
  tChild(const tChild&) = delete;
  tChild& operator=(const tChild&) = delete;

  pid_t Pid() const { return pid_; }
  bool Started() const { return pid_ > 0; }

  void Write(const std::string& Text) {
    if (inFd_ >= 0) {
      const ssize_t written = write(inFd_, Text.data(), Text.size());
      (void)written;
    }
  }
  void CloseInput() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  // Waits until Count lines have arrived (or the output ended, or TimeoutMs passed); gives the lines.
  std::vector<std::string> WaitForLines(size_t Count, int TimeoutMs) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::milliseconds(TimeoutMs), [&] { return lines_.size() >= Count || ended_; });
    return lines_;
  }

  // The lines that start with Prefix, once Count of them have arrived (or the output ended, or
  // TimeoutMs passed).
  std::vector<std::string> WaitForLinesStartingWith(const std::string& Prefix, size_t Count, int TimeoutMs) {
    auto matching = [&] {
      std::vector<std::string> out;
      for (const std::string& line : lines_) {
        if (line.rfind(Prefix, 0) == 0) out.push_back(line);
      }
      return out;
    };
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::milliseconds(TimeoutMs), [&] { return matching().size() >= Count || ended_; });
    return matching();
  }

  // Waits for the child to end by itself; its exit status, or nothing after TimeoutMs.
  std::optional<int> WaitForExit(int TimeoutMs) {
    for (int waited = 0; pid_ > 0 && waited <= TimeoutMs; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitStatus_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitStatus_;
  }

  void Stop() {
    CloseInput();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) close(outFd_);
    outFd_ = -1;
  }

 private:
  void readLines() {
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(outFd_, buffer, sizeof buffer);
      if (got <= 0) break;
      pending.append(buffer, static_cast<size_t>(got));
      for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        std::lock_guard<std::mutex> hold(mutex_);
        lines_.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
        changed_.notify_all();
      }
    }
    std::lock_guard<std::mutex> hold(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int outFd_ = -1;
  int inFd_ = -1;
  std::optional<int> exitStatus_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

// A loopback TCP port that was free a moment ago.
inline int FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(s);
  return port;
}

// True once something accepts connections on the loopback port (within TimeoutMs).
inline bool WaitForListener(int Port, int TimeoutMs) {
  for (int waited = 0; waited <= TimeoutMs; waited += 20) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(Port));
    const bool connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Polls Condition every 20 ms until it holds or TimeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs) {
  for (int waited = 0; waited <= TimeoutMs; waited += 20) {
    if (Condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Condition();
}

}  // namespace lwtest
