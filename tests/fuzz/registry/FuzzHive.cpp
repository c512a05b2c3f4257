// Any bytes as a hive file: parsing keeps the text byte for byte, lookups stay in bounds, and a value
// written into the first key reads back after the text is parsed again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/registry/Hive.h"

using lw::reg::tHive;
using lw::reg::tHiveStatus;
using lw::reg::tKeyPath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::span<const uint8_t> Bytes(Data, Size);
  tHive Hive;
  if (tHive::Parse(Bytes, Hive) == tHiveStatus::TooLarge) return 0;
  std::string Text = Hive.Text();
  if (Text.size() != Size || (Size > 0 && Text.compare(0, Size, reinterpret_cast<const char*>(Data), Size) != 0)) {
    std::abort();
  }

  // Walk the tree from the root, a bounded number of keys.
  tKeyPath First;
  std::vector<tKeyPath> Pending{{"HKEY_LOCAL_MACHINE"}};
  for (int Visited = 0; !Pending.empty() && Visited < 64; ++Visited) {
    tKeyPath Key = Pending.back();
    Pending.pop_back();
    if (!Hive.KeyExists(Key)) std::abort();
    (void)Hive.Value(Key, "DebugLevel");
    (void)Hive.Value(Key, "");
    for (const std::string& Sub : Hive.SubKeys(Key)) {
      tKeyPath Child = Key;
      Child.push_back(Sub);
      if (First.empty()) First = Child;
      Pending.push_back(std::move(Child));
    }
  }
  if (First.empty()) First = {"HKEY_LOCAL_MACHINE"};

  const uint8_t Level[4] = {3, 0, 0, 0};
  if (!Hive.SetValue(First, "DebugLevel", 4, Level)) std::abort();
  tHive Again;
  if (tHive::Parse(Hive.Text(), Again) == tHiveStatus::TooLarge) return 0;
  auto Value = Again.Value(First, "DebugLevel");
  if (!Value || Value->Type != 4 || Value->Data.size() != 4 || Value->Data[0] != 3) std::abort();
  return 0;
}
