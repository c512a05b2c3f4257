// Writes a small log file of supplier events for the command-line test of logwarden-etldump.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/etw/etl/Writer.h"
#include "tests/etl/EtlTestSupport.h"

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  lw::etl::tEtlWriter w;
  if (w.Open(argv[1], lw::etl::test::Options()) != 0) return 2;
  for (int i = 0; i < 3; ++i) {
    const std::vector<uint8_t> payload =
        lw::etl::test::SupplierPayload(0x00000008, u"src\\sample.cpp", 10 + i, 2, u"message " + std::u16string(1, static_cast<char16_t>(u'a' + i)));
    lw::etl::tClassicEvent e;
    e.ClassGuid = lw::etl::test::kSupplierClass;
    e.ProcessId = 11;
    e.ThreadId = 22;
    e.TimeStamp = lw::etl::test::kStartRaw + static_cast<uint64_t>(i) * 10000;
    e.Payload = payload;
    if (w.AppendEvent(e) != 0) return 3;
  }
  return w.Close() == 0 ? 0 : 4;
}
