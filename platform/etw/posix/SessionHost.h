// tSessionHost: one trace session, as the process logwarden-traced runs it.
//
// Contract
// - Start takes the session's lock file (waiting up to 5 s for a host of the same name that is still
//   finishing), opens the log file with the log-file writer, binds <dir>/<name>.sock (mode 0660: only
//   the owner and its group may control or join the session) and links <dir>/.handle-<handle> to it.
//   It returns 0 or the status the starter gets (183 when another host holds the session).
// - Run serves until the session is stopped (a stop request or SIGTERM), then returns. Connections are
//   non-blocking; a client that vanishes mid-message, sends garbage or stops reading is dropped without
//   affecting the others.
// - Events go into buffers of BufferSize KB. A buffer is handed over (to every real-time consumer and to
//   the log file) when full, on a flush request and at every flush interval (FlushTimer s, default 1).
//   At most MaximumBuffers buffers are in flight (handed over and not yet taken by every consumer, plus
//   the one being filled); an event that finds none free is counted in EventsLost and dropped.
// - Switching real-time delivery off ends every consumer's stream (its ProcessTrace returns); the
//   session and its file go on. Stopping hands over what is buffered, lets consumers take it (2 s at
//   most), writes the file's end time, answers the stopper and unlinks the socket before returning.
// - Not thread-safe: one thread runs it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/etw/etl/Writer.h"
#include "platform/etw/posix/Wire.h"

namespace lw::etw::posix {

class tSessionHost {
 public:
  struct tOptions {
    std::string Dir;
    std::string Name;
    wire::tSession Session;  // as the starter asked for it
  };

  tSessionHost();
  ~tSessionHost();
  tSessionHost(const tSessionHost&) = delete;
  tSessionHost& operator=(const tSessionHost&) = delete;

  uint32_t Start(const tOptions& Options);
  void Run();
  // The properties as a query reports them.
  wire::tSession Snapshot() const;
  // Asks Run to stop as if a stop request had come (safe from a signal handler).
  static void RequestStopFromSignal();

 private:
  using tFrame = std::shared_ptr<const std::vector<uint8_t>>;
  enum class tRole { Unknown, Controller, Consumer, Provider };
  struct tClient {
    int Fd = -1;
    tRole Role = tRole::Unknown;
    std::vector<uint8_t> In;
    size_t InLen = 0;
    std::deque<tFrame> Out;
    size_t OutOffset = 0;
    std::vector<tGuid> Guids;
    bool CloseWhenSent = false;
    bool Dead = false;
  };

  void acceptClients();
  // Reads and handles what C has sent; true when it stopped with input possibly left.
  bool readClient(tClient& C);
  // Takes in every event the providers have already sent, before a flush, update or stop.
  void drainProviders(const tClient* Except);
  void handleFrame(tClient& C, std::span<const uint8_t> Frame);
  void handleEvent(std::span<const uint8_t> Event);
  void handleControl(tClient& C, const wire::tRequest& R);
  void handleEnable(tClient& C, const wire::tEnable& E);
  void handleRegister(tClient& C, const tGuid& Guid);
  void handleConsume(tClient& C);
  void queue(tClient& C, tFrame Frame);
  void queue(tClient& C, std::vector<uint8_t> Frame);
  void writeClient(tClient& C);
  void handOver();
  void endConsumers();
  void flushNow();
  void stop(tClient* Requester);
  void dropDead();
  bool haveFreeBuffer() const;
  uint32_t openLog(const std::string& Path, std::unique_ptr<etl::tEtlWriter>& Out);
  std::vector<uint8_t> reply(uint32_t Status);

  tOptions options_;
  wire::tSession session_;
  uint64_t handle_ = 0;
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::string socketPath_;
  std::string linkPath_;
  std::vector<std::unique_ptr<tClient>> clients_;
  std::map<std::string, wire::tEnable> enabled_;  // by GUID text
  std::unique_ptr<etl::tEtlWriter> writer_;
  std::unique_ptr<etl::tBufferBuilder> current_;
  std::shared_ptr<int> inflight_;  // buffers handed to consumers and not yet sent to all of them
  uint64_t startRaw_ = 0;
  tFileTime startTime_;
  uint64_t rtSequence_ = 1;
  uint64_t nextFlushRaw_ = 0;
  uint32_t eventsLost_ = 0;
  uint32_t buffersWritten_ = 0;
  uint32_t realTimeBuffersLost_ = 0;
  bool stopped_ = false;
};

}  // namespace lw::etw::posix
