#include "tools/supplier/Events.h"

#include <cstring>

#include "platform/os/CodePage.h"

namespace supplier {

using namespace lw::etw;

const lw::tGuid kProviderGuid = {0xDD61CD53, 0xBB41, 0x4B3F, {0xA8, 0x81, 0xBA, 0x7D, 0x75, 0xDE, 0x22, 0xE9}};
const lw::tGuid kEventClassGuid = {0x8EC0B600, 0x00C8, 0x485F, {0xB2, 0xDA, 0xFB, 0x91, 0x21, 0xD1, 0x28, 0xBA}};

namespace {

void PutU32(std::vector<uint8_t>& Out, uint32_t V) {
  for (int i = 0; i < 4; ++i) Out.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

void PutText(std::vector<uint8_t>& Out, const std::string& Text) {
  for (char16_t c : lw::os::AnsiToWide(Text)) {
    Out.push_back(static_cast<uint8_t>(c & 0xFF));
    Out.push_back(static_cast<uint8_t>(c >> 8));
  }
  Out.push_back(0);
  Out.push_back(0);
}

}  // namespace

std::vector<uint8_t> BuildPayload(uint32_t LevelWord, const std::string& File, int32_t Line, int32_t Category,
                                  const std::string& Message) {
  std::vector<uint8_t> out;
  out.reserve(16 + 2 * (File.size() + Message.size()));
  PutU32(out, LevelWord);
  PutText(out, File);
  PutU32(out, static_cast<uint32_t>(Line));
  PutU32(out, static_cast<uint32_t>(Category));
  PutText(out, Message);
  return out;
}

tEventWriter::tEventWriter(tTraceApi& Api) : api_(Api) {}

tEventWriter::~tEventWriter() { Unregister(); }

uint32_t tEventWriter::Register() {
  TRACE_GUID_REGISTRATION reg{&kEventClassGuid, nullptr};
  return api_.RegisterTraceGuidsA(Control, this, &kProviderGuid, 1, &reg, nullptr, nullptr, &registration_);
}

void tEventWriter::Unregister() {
  if (registration_ != 0) api_.UnregisterTraceGuids(registration_);
  registration_ = 0;
  logger_ = 0;
}

ULONG tEventWriter::Control(WMIDPREQUESTCODE Code, void* Context, ULONG*, void* Buffer) {
  auto* self = static_cast<tEventWriter*>(Context);
  if (Code == WMI_ENABLE_EVENTS) {
    TRACEHANDLE h = self->api_.GetTraceLoggerHandle(Buffer);
    if (h == INVALID_PROCESSTRACE_HANDLE) return ERROR_INVALID_HANDLE;
    self->level_ = self->api_.GetTraceEnableLevel(h);
    self->flags_ = self->api_.GetTraceEnableFlags(h);
    self->logger_ = h;
  } else if (Code == WMI_DISABLE_EVENTS) {
    self->logger_ = 0;
  }
  ++self->notices_;
  return ERROR_SUCCESS;
}

uint32_t tEventWriter::Write(const std::vector<uint8_t>& Payload) {
  TRACEHANDLE logger = logger_.load();
  if (logger == 0) return ERROR_INVALID_HANDLE;
  constexpr size_t kMax = 0xFFFF - sizeof(EVENT_TRACE_HEADER);
  if (Payload.size() > kMax) return ERROR_INVALID_PARAMETER;
  // The header followed by the payload, as one contiguous event.
  thread_local std::vector<uint64_t> storage;
  size_t size = sizeof(EVENT_TRACE_HEADER) + Payload.size();
  storage.assign((size + 7) / 8, 0);
  EVENT_TRACE_HEADER h{};
  h.Size = static_cast<uint16_t>(size);
  h.Class.Type = EVENT_TRACE_TYPE_INFO;
  h.Guid = kEventClassGuid;
  // The platform's header keeps its Flags where this declaration has UserTime: a classic event must
  // say that it carries its class GUID.
  h.UserTime = WNODE_FLAG_TRACED_GUID;
  auto* bytes = reinterpret_cast<uint8_t*>(storage.data());
  std::memcpy(bytes, &h, sizeof h);
  std::memcpy(bytes + sizeof h, Payload.data(), Payload.size());
  return api_.TraceEvent(logger, reinterpret_cast<EVENT_TRACE_HEADER*>(bytes));
}

}  // namespace supplier
