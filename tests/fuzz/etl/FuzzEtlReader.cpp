// Arbitrary bytes as a log file: the reader must give a status or walk to the end, reading nothing
// outside the bytes (the sanitizers check), whatever the header, buffers and records claim.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/etw/FileConsumer.h"
#include "platform/etw/etl/Reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::span<const uint8_t> bytes(Data, Size);

  lw::etl::tLogHeader header;
  (void)lw::etl::ParseHeaderBuffer(bytes, header);

  // The bytes as one buffer, as a real-time consumer would see them.
  lw::etl::tClock clock;
  lw::etl::tBufferCursor cursor(bytes, static_cast<uint32_t>(Size), clock, 0);
  lw::etl::tRecord record;
  uint64_t sum = 0;
  while (cursor.Next(record))
    for (uint8_t b : record.Payload) sum += b;

  // The bytes as a file, walked twice (the second walk must give the same count).
  lw::etl::tEtlReader reader;
  if (reader.Open(std::make_unique<lw::etl::tMemorySource>(bytes)) == 0) {
    uint64_t first = 0;
    while (reader.Next(record)) {
      ++first;
      lw::etw::EVENT_TRACE event;
      lw::etw::FillEventTrace(record, event);
      for (uint8_t b : record.Payload) sum += b;
    }
    reader.Rewind();
    uint64_t second = 0;
    while (reader.Next(record)) ++second;
    if (first != second) __builtin_trap();
  }
  return sum == 1 ? 1 : 0;
}
