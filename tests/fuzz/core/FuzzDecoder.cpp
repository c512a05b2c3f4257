// Any payload bytes through the supplier event decoder, at every level filter.
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/EventDecoder.h"
#include "server/LogItems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  LevelFilter = Data[0] % 4;
  // An exact-size copy, so that any read past the payload is caught.
  std::vector<uint8_t> payload(Data + 1, Data + Size);
  tPlainEvent e;
  e.ClassGuid = kSupplierEventClass;
  e.TimeStamp = Size > 9 ? (static_cast<uint64_t>(Data[1]) << 56 | Size) : 0;
  e.Payload = payload.empty() ? nullptr : payload.data();
  e.PayloadLength = static_cast<uint32_t>(payload.size());
  EventCallbackPlain(e);
  tLogItemsLock guard(LogItems);
  for (const auto& item : LogItems)
    if (item.File.size() > payload.size() || item.Message.size() > payload.size()) __builtin_trap();
  LogItems.clear();
  return 0;
}
