#include "tools/etldump/EtlDump.h"

#include <cinttypes>
#include <cstring>

#include "capture/EventDecoder.h"
#include "platform/etw/FileConsumer.h"
#include "platform/etw/etl/Reader.h"
#include "platform/os/CodePage.h"
#include "platform/os/DateTime.h"
#include "platform/os/Os.h"
#include "server/LogItems.h"

namespace {

const char kUsage[] =
    "usage: logwarden-etldump [--level-filter 0|1|2] [--records] FILE...\n";

const char kHelp[] =
    "usage: logwarden-etldump [--level-filter 0|1|2] [--records] FILE...\n"
    "\n"
    "Writes trace log files (.etl) as text, one tab-separated line per entry, UTF-8.\n"
    "\n"
    "Default: every supplier event of every FILE, in the order given, decoded as the viewer\n"
    "decodes it. Columns:\n"
    "  Seq  Time  Level  User  Process ID  Thread ID  Cat  File  Line  Message\n"
    "Seq continues across files; Time is local time, dd-mm-yyyy hh:mm:ss.zzz; Level is the\n"
    "low 16 bits of the level word, User the high 16 bits as a signed number. In texts a\n"
    "backslash is written \\\\, a tab \\t, a line feed \\n, a carriage return \\r.\n"
    "\n"
    "  --level-filter N  0: important only; 1: important and diagnose; 2: all (default)\n"
    "  --records         instead, one line per record of any kind: file offset, buffer\n"
    "                    sequence number, header type, size, class GUID (or -), process id,\n"
    "                    thread id, UTC time, payload length; then per file a summary\n"
    "                    (lines starting with #) of the records by kind and of the buffers.\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 when every file was read (damaged buffers are skipped and reported on\n"
    "standard error); 1 for a usage error; 2 when a file cannot be opened or is not a trace log.\n";

std::FILE* DrainOut = nullptr;

void put(std::FILE* F, const std::string& S) { std::fwrite(S.data(), 1, S.size(), F); }

void drainLogItems() {
  std::string text;
  {
    tLogItemsLock guard(LogItems);
    for (const tLogItem& item : LogItems) {
      text += std::to_string(item.Seq);
      text += '\t';
      text += lw::os::FormatDateTime("dd-mm-yyyy hh:mm:ss.zzz", item.Time);
      text += '\t';
      text += std::to_string(item.LevelWord & 0xFFFFu);
      text += '\t';
      text += std::to_string(static_cast<int16_t>(item.LevelWord >> 16));
      text += '\t';
      text += std::to_string(item.ProcessID);
      text += '\t';
      text += std::to_string(item.ThreadID);
      text += '\t';
      text += std::to_string(item.Category);
      text += '\t';
      text += EscapeField(item.File);
      text += '\t';
      text += std::to_string(item.Line);
      text += '\t';
      text += EscapeField(item.Message);
      text += '\n';
    }
    LogItems.clear();
  }
  if (DrainOut != nullptr) put(DrainOut, text);
}

lw::etw::ULONG drainAfterBuffer(lw::etw::EVENT_TRACE_LOGFILEA*) {
  drainLogItems();
  return 1;
}

std::string reason(uint32_t Status) {
  switch (Status) {
    case 2: return "file not found";
    case 5: return "access denied";
    case 13: return "not a trace log file";
    default: return "error " + std::to_string(Status);
  }
}

void reportDamage(std::FILE* Err, const std::string& File, const lw::etl::tReadStats& S) {
  if (S.BuffersSkipped == 0 && S.BadRecords == 0 && S.BuffersCompressed == 0) return;
  std::string line = "logwarden-etldump: " + File + ": " + std::to_string(S.BuffersSkipped) +
                     " damaged buffer(s) skipped, " + std::to_string(S.BadRecords) +
                     " damaged record(s) ended their buffer";
  if (S.BuffersCompressed != 0)
    line += ", " + std::to_string(S.BuffersCompressed) + " compressed buffer(s) skipped";
  put(Err, line + "\n");
}

std::string guidText(const lw::tGuid& G) { return "{" + G.ToString() + "}"; }

bool hasIds(lw::etl::tRecordKind K) {
  using lw::etl::tRecordKind;
  return K == tRecordKind::HeaderEvent || K == tRecordKind::Classic || K == tRecordKind::Instance ||
         K == tRecordKind::System || K == tRecordKind::Compact || K == tRecordKind::EventHeader;
}

int dumpRecords(const std::string& File, std::FILE* Out, std::FILE* Err) {
  lw::etl::tEtlReader reader;
  const uint32_t status = reader.Open(File);
  if (status != 0) {
    put(Err, "logwarden-etldump: " + File + ": " + reason(status) + "\n");
    return 2;
  }
  put(Out, "# " + File + "\n");
  lw::etl::tRecord r;
  std::string text;
  char offset[32];
  while (reader.Next(r)) {
    std::snprintf(offset, sizeof offset, "0x%08" PRIX64, r.FileOffset);
    text += offset;
    text += '\t';
    text += std::to_string(r.BufferSequence);
    text += '\t';
    text += r.Kind == lw::etl::tRecordKind::HeaderEvent ? std::string("Header") : lw::etl::HeaderTypeName(r.HeaderType);
    text += '\t';
    text += std::to_string(r.Size);
    text += '\t';
    text += r.HasGuid ? guidText(r.Guid) : std::string("-");
    text += '\t';
    text += hasIds(r.Kind) ? std::to_string(r.ProcessId) : std::string("-");
    text += '\t';
    text += hasIds(r.Kind) ? std::to_string(r.ThreadId) : std::string("-");
    text += '\t';
    text += r.HasTime ? IsoUtc(r.Time.Value) : std::string("-");
    text += '\t';
    text += std::to_string(r.Payload.size());
    text += '\n';
    if (text.size() > 65536) {
      put(Out, text);
      text.clear();
    }
  }
  put(Out, text);

  const lw::etl::tReadStats& s = reader.Stats();
  std::string summary = "# records:";
  uint64_t total = 0;
  for (size_t t = 0; t < s.RecordsByType.size(); ++t) {
    if (s.RecordsByType[t] == 0) continue;
    total += s.RecordsByType[t];
    summary += " " + lw::etl::HeaderTypeName(static_cast<uint8_t>(t)) + "=" + std::to_string(s.RecordsByType[t]);
  }
  summary += " total=" + std::to_string(total) + " (header events " + std::to_string(s.HeaderEvents) +
             ", delivered to classic consumers " + std::to_string(s.EventsDelivered) + ")\n";
  summary += "# buffers: slots=" + std::to_string(s.BufferSlots) + " read=" + std::to_string(s.BuffersRead) +
             " skipped=" + std::to_string(s.BuffersSkipped) + " compressed=" + std::to_string(s.BuffersCompressed) +
             " unused=" + std::to_string(s.BuffersUnused) + " bad-records=" + std::to_string(s.BadRecords) + "\n";
  put(Out, summary);
  reportDamage(Err, File, s);
  return 0;
}

int dumpEvents(const std::string& File, std::FILE* Out, std::FILE* Err) {
  lw::etw::EVENT_TRACE_LOGFILEA logfile{};
  std::string path = File;
  logfile.LogFileName = path.data();
  logfile.LogFileMode = lw::etw::PROCESS_TRACE_MODE_LOGFILE;
  logfile.EventCallback = &EventCallback;
  logfile.BufferCallback = &drainAfterBuffer;
  lw::etw::TRACEHANDLE handle = lw::etw::OpenFileTrace(&logfile);
  if (handle == lw::etw::INVALID_PROCESSTRACE_HANDLE) {
    put(Err, "logwarden-etldump: " + File + ": " + reason(lw::os::GetLastError()) + "\n");
    return 2;
  }
  DrainOut = Out;
  const lw::etw::ULONG status = lw::etw::ProcessFileTraces(&handle, 1, nullptr, nullptr);
  drainLogItems();
  lw::etl::tReadStats stats;
  if (lw::etw::FileTraceStats(handle, stats)) reportDamage(Err, File, stats);
  lw::etw::CloseFileTrace(handle);
  if (status != 0) {
    put(Err, "logwarden-etldump: " + File + ": reading stopped, error " + std::to_string(status) + "\n");
    return 2;
  }
  return 0;
}

}  // namespace

std::string EscapeField(const std::string& AnsiText) {
  const std::string utf8 = lw::os::AnsiToUtf8(AnsiText);
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string IsoUtc(uint64_t FileTime) {
  lw::os::tSystemTime t;
  if (!lw::os::FileTimeToSystemTime(lw::tFileTime{FileTime}, t)) return std::to_string(FileTime);
  char text[48];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%07uZ", unsigned{t.Year}, unsigned{t.Month},
                unsigned{t.Day}, unsigned{t.Hour}, unsigned{t.Minute}, unsigned{t.Second},
                static_cast<unsigned>(FileTime % 10000000u));
  return text;
}

int RunEtlDump(const std::vector<std::string>& Args, std::FILE* Out, std::FILE* Err) {
  int level = 2;
  bool records = false;
  std::vector<std::string> files;
  bool options = true;
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (options && (a == "--help" || a == "-h")) {
      put(Out, kHelp);
      return 0;
    }
    if (options && a == "--") {
      options = false;
    } else if (options && a == "--records") {
      records = true;
    } else if (options && (a == "--level-filter" || a.rfind("--level-filter=", 0) == 0)) {
      std::string value;
      if (a == "--level-filter") {
        if (i + 1 >= Args.size()) {
          put(Err, "logwarden-etldump: --level-filter needs a value (0, 1 or 2)\n");
          put(Err, kUsage);
          return 1;
        }
        value = Args[++i];
      } else {
        value = a.substr(std::strlen("--level-filter="));
      }
      if (value != "0" && value != "1" && value != "2") {
        put(Err, "logwarden-etldump: --level-filter takes 0, 1 or 2, not '" + value + "'\n");
        put(Err, kUsage);
        return 1;
      }
      level = value[0] - '0';
    } else if (options && a.size() > 1 && a[0] == '-') {
      put(Err, "logwarden-etldump: unknown option '" + a + "'\n");
      put(Err, kUsage);
      return 1;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    put(Err, "logwarden-etldump: no file given\n");
    put(Err, kUsage);
    return 1;
  }

  int result = 0;
  if (records) {
    put(Out, "Offset\tBuffer\tType\tSize\tClass\tProcess ID\tThread ID\tTime (UTC)\tPayload\n");
    for (const std::string& f : files)
      if (dumpRecords(f, Out, Err) != 0) result = 2;
  } else {
    LevelFilter.store(level);
    {
      // Entries from before the run (none in the tool) are not ours to print.
      tLogItemsLock guard(LogItems);
      LogItems.clear();
    }
    put(Out, "Seq\tTime\tLevel\tUser\tProcess ID\tThread ID\tCat\tFile\tLine\tMessage\n");
    for (const std::string& f : files)
      if (dumpEvents(f, Out, Err) != 0) result = 2;
  }
  std::fflush(Out);
  return result;
}
