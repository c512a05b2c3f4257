// The event side of the reference supplier: the payload of a supplier event, and the provider that
// writes such events to every session that enables it.
//
// tEventWriter registers the suppliers' control GUID {DD61CD53-BB41-4B3F-A881-BA7D75DE22E9} with the
// trace API; the API tells it (on a thread of its own) when a session enables or disables the provider.
// Write sends one classic event of the supplier class {8EC0B600-00C8-485F-B2DA-FB9121D128BA} to the
// session that enabled it last, and refuses (6, invalid handle) while it is not enabled. Enabled, Level
// and Flags may be read from any thread; Write from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/etw/Etw.h"

namespace supplier {

extern const lw::tGuid kProviderGuid;
extern const lw::tGuid kEventClassGuid;

// Level word, file, line, category, message: texts as UTF-16LE with a terminator each (ANSI input).
std::vector<uint8_t> BuildPayload(uint32_t LevelWord, const std::string& File, int32_t Line, int32_t Category,
                                  const std::string& Message);

class tEventWriter {
 public:
  explicit tEventWriter(lw::etw::tTraceApi& Api = lw::etw::SystemTraceApi());
  ~tEventWriter();  // unregisters
  tEventWriter(const tEventWriter&) = delete;
  tEventWriter& operator=(const tEventWriter&) = delete;

  uint32_t Register();
  void Unregister();
  bool Enabled() const { return logger_.load() != 0; }
  uint8_t Level() const { return level_.load(); }
  uint32_t Flags() const { return flags_.load(); }
  // Counts of enable and disable notices, for callers that wait for a change.
  uint32_t Notices() const { return notices_.load(); }
  // 0, 6 while not enabled, 8 when the session had no free buffer (the event is lost), 87 when the
  // payload is too large for one event.
  uint32_t Write(const std::vector<uint8_t>& Payload);

 private:
  static lw::etw::ULONG Control(lw::etw::WMIDPREQUESTCODE Code, void* Context, lw::etw::ULONG* Size, void* Buffer);

  lw::etw::tTraceApi& api_;
  lw::etw::TRACEHANDLE registration_ = 0;
  std::atomic<lw::etw::TRACEHANDLE> logger_{0};
  std::atomic<uint8_t> level_{0};
  std::atomic<uint32_t> flags_{0};
  std::atomic<uint32_t> notices_{0};
};

}  // namespace supplier
