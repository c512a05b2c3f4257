// logwarden-supplier: a reference supplier, a real separate program that writes supplier events.
//
// Usage: logwarden-supplier [--option value]...
//
// Event options
//   --count N         events to write while enabled (0: until SIGINT/SIGTERM)            default 10
//   --rate R          events per second (0: as fast as possible)                         default 0
//   --level W[,W...]  level words, used in turn (decimal or 0x hex)                      default 0x0001
//   --file TEXT       source-file text of every event                                    default supplier.cpp
//   --line N          source line                                                        default 1
//   --category N      category                                                           default 0
//   --message TEXT    message text; "%n" becomes the event's counter (1, 2, ...), and
//                     without "%n" the counter is appended after a blank               default "message"
//   --wait-ms N       how long to wait for being enabled, at start and whenever the
//                     provider is disabled, before giving up (exit code 3)               default 30000
//   --quiet           no progress lines
//
// Control options (registering with the viewer; any of them turns the control side on)
//   --reg-id N        start a supplier with this id (repeat for more suppliers)
//   --reg-name, --reg-level, --reg-settings, --reg-aux1, --reg-aux2 VALUE
//                     name, trace level, settings and aux texts of the latest supplier
//   --host H, --process-id N, --poll-ms N, --on-dropped reregister|exit, --run-ms N
//   --answer N, --exit-in-callback, --hang-in-callback MS, --stop-polling-after N, --poll-on-input
//                     fault options for tests (see tools/supplier/Control.h)
// With the control side on, the program runs until the control ends (a stop signal, --run-ms, or a
// drop with --on-dropped exit): the events wait for an enable without giving up, and only the level
// words that the first supplier's trace level allows are written. Callbacks are printed as JSON lines.
//
// The program registers the suppliers' provider and writes only while a session has it enabled; a
// disable pauses the writing, a new enable resumes it. Lines on standard output (one each):
//   registered | enabled level=L flags=F | disabled | done written=N lost=M
// Exit codes: 0 done, 2 bad options, 3 never enabled (or disabled for good), 4 registration failed.
//
// Adding options: every option is one row of the table in Options(); a row gives the name, whether it
// takes a value, and the code that stores it into tOptions. Other parts of the program add their own
// rows (and fields) the same way; unknown options are refused with the usage text.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/supplier/Control.h"
#include "tools/supplier/Events.h"

namespace {

struct tOptions {
  uint64_t Count = 10;
  double Rate = 0;
  std::vector<uint32_t> Levels = {0x0001};
  std::string File = "supplier.cpp";
  int32_t Line = 1;
  int32_t Category = 0;
  std::string Message = "message";
  uint32_t WaitMs = 30000;
  bool Quiet = false;
  supplier::tControlOptions Control;
  bool WithControl = false;
};

struct tOption {
  const char* Name;
  bool TakesValue;
  std::function<bool(tOptions&, const std::string&)> Store;
};

bool ParseU64(const std::string& Text, uint64_t& Out) {
  if (Text.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(Text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || Text[0] == '-') return false;
  Out = v;
  return true;
}

bool ParseI32(const std::string& Text, int32_t& Out) {
  if (Text.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(Text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  Out = static_cast<int32_t>(v);
  return true;
}

// A row of a control option: hands it to the control side's parser.
tOption ControlOption(const char* Name, bool TakesValue) {
  return {Name, TakesValue, [Name, TakesValue](tOptions& O, const std::string& V) {
            std::string message;
            const std::string arg = TakesValue ? std::string(Name) + "=" + V : std::string(Name);
            O.WithControl = true;
            if (supplier::ParseControlOption(arg, O.Control, message) == supplier::tOptionResult::Taken) return true;
            std::fprintf(stderr, "logwarden-supplier: %s\n", message.c_str());
            return false;
          }};
}

const std::vector<tOption>& Options() {
  static const std::vector<tOption> table = {
      {"--count", true, [](tOptions& O, const std::string& V) { return ParseU64(V, O.Count); }},
      {"--rate", true,
       [](tOptions& O, const std::string& V) {
         char* end = nullptr;
         O.Rate = std::strtod(V.c_str(), &end);
         return !V.empty() && end != nullptr && *end == '\0' && O.Rate >= 0;
       }},
      {"--level", true,
       [](tOptions& O, const std::string& V) {
         O.Levels.clear();
         size_t start = 0;
         while (start <= V.size()) {
           size_t comma = V.find(',', start);
           std::string part = V.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
           uint64_t w = 0;
           if (!ParseU64(part, w) || w > 0xFFFFFFFFu) return false;
           O.Levels.push_back(static_cast<uint32_t>(w));
           if (comma == std::string::npos) break;
           start = comma + 1;
         }
         return !O.Levels.empty();
       }},
      {"--file", true, [](tOptions& O, const std::string& V) { O.File = V; return true; }},
      {"--line", true, [](tOptions& O, const std::string& V) { return ParseI32(V, O.Line); }},
      {"--category", true, [](tOptions& O, const std::string& V) { return ParseI32(V, O.Category); }},
      {"--message", true, [](tOptions& O, const std::string& V) { O.Message = V; return true; }},
      {"--wait-ms", true,
       [](tOptions& O, const std::string& V) {
         uint64_t ms = 0;
         if (!ParseU64(V, ms) || ms > 0xFFFFFFFFu) return false;
         O.WaitMs = static_cast<uint32_t>(ms);
         return true;
       }},
      {"--quiet", false, [](tOptions& O, const std::string&) { O.Quiet = true; return true; }},
      ControlOption("--reg-id", true), ControlOption("--reg-name", true), ControlOption("--reg-level", true),
      ControlOption("--reg-settings", true), ControlOption("--reg-aux1", true), ControlOption("--reg-aux2", true),
      ControlOption("--host", true), ControlOption("--process-id", true), ControlOption("--poll-ms", true),
      ControlOption("--on-dropped", true), ControlOption("--run-ms", true), ControlOption("--answer", true),
      ControlOption("--exit-in-callback", false), ControlOption("--hang-in-callback", true),
      ControlOption("--stop-polling-after", true), ControlOption("--poll-on-input", false),
  };
  return table;
}

void Usage() {
  std::fprintf(stderr, "usage: logwarden-supplier");
  for (const auto& o : Options()) std::fprintf(stderr, " [%s%s]", o.Name, o.TakesValue ? " VALUE" : "");
  std::fprintf(stderr, "\n");
}

bool Parse(int argc, char** argv, tOptions& Out) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    const tOption* found = nullptr;
    for (const auto& o : Options()) {
      if (name == o.Name) found = &o;
    }
    if (found == nullptr) return false;
    std::string value;
    if (found->TakesValue) {
      if (i + 1 >= argc) return false;
      value = argv[++i];
    }
    if (!found->Store(Out, value)) return false;
  }
  return true;
}

std::string MessageText(const std::string& Pattern, uint64_t Counter) {
  std::string n = std::to_string(Counter);
  size_t at = Pattern.find("%n");
  if (at == std::string::npos) return Pattern + " " + n;
  std::string out = Pattern;
  while (at != std::string::npos) {
    out.replace(at, 2, n);
    at = out.find("%n", at + n.size());
  }
  return out;
}

std::atomic<bool> gStop{false};
void OnSignal(int) { gStop = true; }

void Say(const tOptions& O, const std::string& Line) {
  if (O.Quiet) return;
  std::printf("%s\n", Line.c_str());
  std::fflush(stdout);
}

// Waits until the writer is enabled; false when the time runs out or a stop is asked for.
bool WaitEnabled(const supplier::tEventWriter& W, uint32_t Ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
  while (!W.Enabled()) {
    if (gStop || std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tOptions options;
  if (!Parse(argc, argv, options)) {
    Usage();
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  supplier::tEventWriter writer;
  if (writer.Register() != 0) {
    std::fprintf(stderr, "logwarden-supplier: registration failed\n");
    return 4;
  }
  Say(options, "registered");

  std::unique_ptr<supplier::tSupplierControl> control;
  std::thread controlThread;
  std::atomic<int> controlExit{0};
  std::atomic<bool> controlDone{false};
  uint32_t firstSupplier = 0;
  if (options.WithControl) {
    control = std::make_unique<supplier::tSupplierControl>(options.Control, stdout, stderr);
    firstSupplier = control->Options().Suppliers.front().SupplierID;
    controlThread = std::thread([&] {
      controlExit = control->Run();
      controlDone = true;
      gStop = true;
    });
  }

  uint64_t written = 0;
  uint64_t lost = 0;
  uint64_t skipped = 0;  // level words the trace level did not allow
  bool enabledSeen = false;
  bool gaveUp = false;
  uint32_t reported = 0;
  auto start = std::chrono::steady_clock::now();
  while (!gStop && (options.Count == 0 || written < options.Count)) {
    if (!writer.Enabled()) {
      if (enabledSeen) Say(options, "disabled");
      if (!WaitEnabled(writer, options.WaitMs)) {
        if (control && !gStop) continue;  // the control side decides when the program ends
        gaveUp = !gStop;
        break;
      }
    }
    if (writer.Notices() != reported) {  // each (re-)enable once
      reported = writer.Notices();
      Say(options, "enabled level=" + std::to_string(writer.Level()) + " flags=" + std::to_string(writer.Flags()));
    }
    enabledSeen = true;
    if (options.Rate > 0) {
      auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(static_cast<double>(written + lost + skipped) / options.Rate));
      std::this_thread::sleep_until(due);
    }
    uint64_t counter = written + lost + skipped + 1;
    uint32_t level = options.Levels[static_cast<size_t>((counter - 1) % options.Levels.size())];
    if (control && !supplier::LevelAllows(control->Current(firstSupplier).value_or(supplier::tAppliedValues{}).Level, level)) {
      ++skipped;
      if (options.Rate <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    auto payload = supplier::BuildPayload(level, options.File, options.Line, options.Category,
                                          MessageText(options.Message, counter));
    uint32_t status = writer.Write(payload);
    if (status == 0) {
      ++written;
    } else if (status == 8) {
      ++lost;  // the session had no free buffer: the event is gone, as on the platform
    }
    // 6: disabled between the check and the write; the loop waits for the next enable.
  }
  writer.Unregister();
  Say(options, "done written=" + std::to_string(written) + " lost=" + std::to_string(lost));
  if (control) {
    while (!controlDone) {
      if (gStop) control->RequestStop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    controlThread.join();
    if (controlExit != 0) return controlExit;
  }
  return gaveUp ? 3 : 0;
}
