// A reader that runs nothing, for driving the window without a trace session.
#pragma once

#include "window/WindowServices.h"

class tIdleReader final : public tReaderControl {
 public:
  explicit tIdleReader(bool Processing = false) : processing_(Processing) {}
  void Resume() override {}
  void SetLevelFilter(int) override {}
  uint32_t FlushSession() override { return 0; }
  bool IsProcessing() const override { return processing_; }
  uint32_t GetStatus() const override { return 0; }

 private:
  bool processing_;
};

inline tWindowServices IdleServices(bool Processing = false) {
  tWindowServices s;
  s.CreateReader = [Processing] { return std::make_unique<tIdleReader>(Processing); };
  return s;
}
