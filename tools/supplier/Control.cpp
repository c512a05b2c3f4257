#include "tools/supplier/Control.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/os/CodePage.h"
#include "platform/os/Os.h"
#include "platform/rpc/Ndr.h"

namespace supplier {

using namespace lw::rpc;

namespace {

template <typename T>
bool ParseNumber(std::string_view Text, T& Value) {
  if (Text.empty()) return false;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return error == std::errc() && end == Text.data() + Text.size();
}

bool TakeValue(std::string_view Arg, std::string_view Name, std::string_view& Value) {
  if (Arg.size() <= Name.size() || Arg.substr(0, Name.size()) != Name || Arg[Name.size()] != '=') return false;
  Value = Arg.substr(Name.size() + 1);
  return true;
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

tOptionResult ParseControlOption(std::string_view Arg, tControlOptions& Options, std::string& Message) {
  std::string_view value;
  auto bad = [&](const char* What) {
    Message = std::string("invalid ") + What + ": " + std::string(Arg);
    return tOptionResult::Error;
  };
  auto current = [&]() -> tSupplierSpec& {
    if (Options.Suppliers.empty()) Options.Suppliers.emplace_back();
    return Options.Suppliers.back();
  };

  if (TakeValue(Arg, "--reg-id", value)) {
    uint32_t id = 0;
    if (!ParseNumber(value, id)) return bad("supplier id");
    Options.Suppliers.emplace_back();
    Options.Suppliers.back().SupplierID = id;
  } else if (TakeValue(Arg, "--reg-name", value)) {
    current().Name = std::string(value);
  } else if (TakeValue(Arg, "--reg-level", value)) {
    if (!ParseNumber(value, current().Level)) return bad("level");
  } else if (TakeValue(Arg, "--reg-settings", value)) {
    current().Settings = std::string(value);
  } else if (TakeValue(Arg, "--reg-aux1", value)) {
    current().AuxText1 = std::string(value);
  } else if (TakeValue(Arg, "--reg-aux2", value)) {
    current().AuxText2 = std::string(value);
  } else if (TakeValue(Arg, "--host", value)) {
    Options.Host = std::string(value);
  } else if (TakeValue(Arg, "--process-id", value)) {
    uint32_t pid = 0;
    if (!ParseNumber(value, pid)) return bad("process id");
    Options.ProcessID = pid;
  } else if (TakeValue(Arg, "--poll-ms", value)) {
    if (!ParseNumber(value, Options.PollIntervalMs) || Options.PollIntervalMs == 0) return bad("poll interval");
  } else if (TakeValue(Arg, "--on-dropped", value)) {
    if (value == "reregister") {
      Options.OnDropped = tOnDropped::ReRegister;
    } else if (value == "exit") {
      Options.OnDropped = tOnDropped::Exit;
    } else {
      return bad("--on-dropped (reregister or exit)");
    }
  } else if (TakeValue(Arg, "--run-ms", value)) {
    if (!ParseNumber(value, Options.RunMs)) return bad("run time");
  } else if (TakeValue(Arg, "--answer", value)) {
    if (!ParseNumber(value, Options.CallbackAnswer)) return bad("answer");
  } else if (Arg == "--poll-on-input") {
    Options.PollOnInput = true;
  } else if (Arg == "--exit-in-callback") {
    Options.ExitInCallback = true;
  } else if (TakeValue(Arg, "--hang-in-callback", value)) {
    if (!ParseNumber(value, Options.HangInCallbackMs)) return bad("hang time");
  } else if (TakeValue(Arg, "--stop-polling-after", value)) {
    if (!ParseNumber(value, Options.StopPollingAfter) || Options.StopPollingAfter < 0) return bad("poll count");
  } else {
    return tOptionResult::NotMine;
  }
  return tOptionResult::Taken;
}

const char* ControlOptionsUsage() {
  return "control (registering with the viewer):\n"
         "  --reg-id=N           start a supplier with this id (repeat for more suppliers)\n"
         "  --reg-name=S --reg-level=L --reg-settings=S --reg-aux1=S --reg-aux2=S\n"
         "                       name, trace level, settings and aux texts of the latest supplier\n"
         "  --host=H             viewer host (default localhost)\n"
         "  --process-id=N       process id to register under (default: this process)\n"
         "  --poll-ms=N          poll interval (default 1000)\n"
         "  --on-dropped=reregister|exit   when a poll answers 0 (default reregister)\n"
         "  --run-ms=N           end after N ms (default: run until stopped)\n"
         "faults:\n"
         "  --answer=N           answer every callback with N\n"
         "  --exit-in-callback   end the process in the middle of a callback\n"
         "  --hang-in-callback=MS  wait MS ms before answering a callback\n"
         "  --stop-polling-after=N  stop polling after N polls (stay registered)\n"
         "  --poll-on-input      poll once per line of standard input instead of by time\n";
}

bool LevelAllows(int32_t TraceLevel, uint32_t LevelWord) {
  if (TraceLevel < 0) return true;
  if (TraceLevel == 0) return false;
  const uint32_t level = LevelWord & 0xFFFFu;
  if (level == 0) return false;
  if (TraceLevel >= 16) return true;
  return level < (1u << TraceLevel);
}

std::string ApplyJsonLine(const control::tApplyArgs& Args) {
  auto quoted = [](const std::string& Ansi) {
    const std::string text = lw::os::AnsiToUtf8(Ansi);
    std::string out = "\"";
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else if (byte < 0x20) {
        static const char* kHex = "0123456789abcdef";
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
      } else {
        out += c;
      }
    }
    return out + "\"";
  };
  return "{\"supplier\":" + std::to_string(static_cast<int32_t>(Args.SupplierID)) +
         ",\"level\":" + std::to_string(Args.Level) + ",\"settings\":" + quoted(Args.Settings) +
         ",\"exceptions\":" + quoted(Args.ExceptionSettings) + "}";
}

tSupplierControl::tSupplierControl(tControlOptions Options, std::FILE* Out, std::FILE* Diagnostics,
                                   tApplied Applied)
    : options_(std::move(Options)), out_(Out), diagnostics_(Diagnostics), applied_(std::move(Applied)) {
  if (options_.Suppliers.empty()) options_.Suppliers.emplace_back();
  processId_ = options_.ProcessID.value_or(lw::os::GetCurrentProcessId());
  for (const tSupplierSpec& spec : options_.Suppliers) {
    values_[spec.SupplierID] = tAppliedValues{spec.Level, spec.Settings, ""};
  }
  callbacks_.Routines.resize(control::kCallbackApplyTraceSettings + 1);
  callbacks_.Routines[control::kCallbackApplyTraceSettings] = [this](CallContext& Call, NdrReader& Request,
                                                                     NdrWriter& Response) {
    return applyTraceSettings(Call, Request, Response);
  };
}

tSupplierControl::~tSupplierControl() { Disconnect(); }

void tSupplierControl::diagnose(const std::string& Message) {
  if (diagnostics_ == nullptr) return;
  std::fprintf(diagnostics_, "logwarden-supplier[%u]: %s\n", processId_, Message.c_str());
  std::fflush(diagnostics_);
}

RPC_STATUS tSupplierControl::Connect() {
  Disconnect();
  RPC_CSTR text = nullptr;
  RPC_STATUS status = RpcStringBindingComposeA(nullptr, "ncacn_ip_tcp", options_.Host.c_str(), nullptr, nullptr, &text);
  if (status != RPC_S_OK) return status;
  status = RpcBindingFromStringBindingA(text, &binding_);
  RpcStringFreeA(&text);
  if (status != RPC_S_OK) return status;
  status = RpcEpResolveBinding(binding_, kControlInterfaceId);
  if (status != RPC_S_OK) Disconnect();
  return status;
}

void tSupplierControl::Disconnect() {
  if (binding_ != nullptr) RpcBindingFree(&binding_);
  binding_ = nullptr;
}

RPC_STATUS tSupplierControl::RegisterAll() {
  if (binding_ == nullptr) return RPC_S_INVALID_BINDING;
  for (const tSupplierSpec& spec : options_.Suppliers) {
    control::tRegisterArgs args;
    args.ProcessID = processId_;
    args.SupplierName = spec.Name;
    args.SupplierID = spec.SupplierID;
    args.Level = spec.Level;
    args.AuxText1 = spec.AuxText1;
    args.Settings = spec.Settings;
    args.AuxText2 = spec.AuxText2;
    const std::vector<uint8_t> stub = control::EncodeRegisterRequest(args);
    StubReply reply;
    RPC_STATUS status = clientCall(binding_, kControlInterfaceId, control::kOpRegisterSupplier, stub, reply, &callbacks_);
    if (status != RPC_S_OK) return status;
    NdrReader in(reply.Stub, reply.LittleEndian);
    int32_t result = 0;
    if (!control::DecodeLongs(in, {&result, 1})) return RPC_X_BAD_STUB_DATA;
  }
  return RPC_S_OK;
}

RPC_STATUS tSupplierControl::Poll(int32_t& Result) {
  if (binding_ == nullptr) return RPC_S_INVALID_BINDING;
  const std::vector<uint8_t> stub = control::EncodePollRequest(processId_);
  StubReply reply;
  const RPC_STATUS status = clientCall(binding_, kControlInterfaceId, control::kOpPollSupplier, stub, reply, &callbacks_);
  if (status != RPC_S_OK) return status;
  NdrReader in(reply.Stub, reply.LittleEndian);
  if (!control::DecodeLongs(in, {&Result, 1})) return RPC_X_BAD_STUB_DATA;
  return RPC_S_OK;
}

RPC_STATUS tSupplierControl::applyTraceSettings(CallContext&, NdrReader& In, NdrWriter& Out) {
  control::tApplyArgs args;
  if (!control::DecodeApplyRequest(In, args)) return RPC_X_BAD_STUB_DATA;
  if (out_ != nullptr) {
    std::fprintf(out_, "%s\n", ApplyJsonLine(args).c_str());
    std::fflush(out_);
  }
  if (options_.ExitInCallback) {
    diagnose("ending in the middle of a callback");
    std::fflush(nullptr);
    std::_Exit(4);
  }
  if (options_.HangInCallbackMs > 0) {
    diagnose("hanging in a callback for " + std::to_string(options_.HangInCallbackMs) + " ms");
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.HangInCallbackMs));
  }
  const int32_t answer = options_.CallbackAnswer;
  if (answer == 0) {
    {
      std::lock_guard<std::mutex> hold(valuesMutex_);
      values_[args.SupplierID] = tAppliedValues{args.Level, args.Settings, args.ExceptionSettings};
    }
    if (applied_) applied_(args);
  }
  Out.writeI32(answer);
  return RPC_S_OK;
}

std::optional<tAppliedValues> tSupplierControl::Current(uint32_t SupplierID) const {
  std::lock_guard<std::mutex> hold(valuesMutex_);
  auto found = values_.find(SupplierID);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

bool tSupplierControl::sleepInterval(uint64_t Deadline) {
  if (options_.PollOnInput) {
    char line[256];
    return !stop_.load() && NowMs() < Deadline && std::fgets(line, sizeof line, stdin) != nullptr;
  }
  const uint64_t until = NowMs() + options_.PollIntervalMs;
  while (!stop_.load()) {
    const uint64_t now = NowMs();
    if (now >= Deadline) return false;
    if (now >= until) return true;
    const uint64_t slice = std::min<uint64_t>({until - now, Deadline - now, 20});
    std::this_thread::sleep_for(std::chrono::milliseconds(slice));
  }
  return false;
}

int tSupplierControl::Run() {
  const uint64_t deadline = options_.RunMs > 0 ? NowMs() + options_.RunMs : UINT64_MAX;
  bool registered = false;
  int32_t polls = 0;
  bool toldStopped = false;
  while (!stop_.load() && NowMs() < deadline) {
    if (binding_ == nullptr) {
      const RPC_STATUS status = Connect();
      if (status != RPC_S_OK) {
        diagnose("viewer not found (status " + std::to_string(status) + ")");
        if (!sleepInterval(deadline)) break;
        continue;
      }
      registered = false;
    }
    if (!registered) {
      const RPC_STATUS status = RegisterAll();
      if (status != RPC_S_OK) {
        diagnose("registration failed (status " + std::to_string(status) + ")");
        Disconnect();
        if (!sleepInterval(deadline)) break;
        continue;
      }
      registered = true;
      diagnose("registered " + std::to_string(options_.Suppliers.size()) + " supplier(s)");
    }
    if (options_.StopPollingAfter >= 0 && polls >= options_.StopPollingAfter) {
      if (!toldStopped) diagnose("no longer polling");
      toldStopped = true;
      if (!sleepInterval(deadline)) break;
      continue;
    }
    int32_t result = 0;
    const RPC_STATUS status = Poll(result);
    ++polls;
    if (status != RPC_S_OK) {
      diagnose("poll failed (status " + std::to_string(status) + ")");
      Disconnect();
    } else if (result == 0) {
      if (options_.OnDropped == tOnDropped::Exit) {
        diagnose("the viewer no longer knows this process; ending");
        Disconnect();
        return 3;
      }
      diagnose("the viewer no longer knows this process; registering again");
      registered = false;
    }
    if (!sleepInterval(deadline)) break;
  }
  Disconnect();
  return 0;
}

}  // namespace supplier
