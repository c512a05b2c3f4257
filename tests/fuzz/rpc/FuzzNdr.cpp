// NDR reader: the control interface's stubs in both integer representations.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/rpc/Ndr.h"
#include "server/ControlInterface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::span<const uint8_t> in(Data, Size);
  for (bool le : {true, false}) {
    lw::rpc::NdrReader r1(in, le);
    control::tRegisterArgs reg;
    control::DecodeRegisterRequest(r1, reg);
    lw::rpc::NdrReader r2(in, le);
    control::tApplyArgs apply;
    control::DecodeApplyRequest(r2, apply);
    lw::rpc::NdrReader r3(in, le);
    std::string s;
    while (r3.readConformantVaryingString(s)) {
    }
  }
  return 0;
}
