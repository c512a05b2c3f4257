// logwarden-etldump: trace log files as text, for grep, scripts and tickets.
//
// RunEtlDump parses the command line and writes to the two streams it is given; the program's main
// passes stdout and stderr. Supplier events are decoded by the viewer's own decoder (EventCallback,
// DecodeEvent, the level filter) into the log-entry queue, which is drained after every buffer, so
// memory stays bounded however long the file. Uses the process-wide LevelFilter and LogItems: one run at
// a time per process.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Exit status: 0 every file read (damaged buffers are reported on Err and still give 0), 1 usage error,
// 2 a file that could not be opened or is not a trace log.
int RunEtlDump(const std::vector<std::string>& Args, std::FILE* Out, std::FILE* Err);

// A text field as written: UTF-8 from the ANSI code page, with \\ \t \n \r escaped.
std::string EscapeField(const std::string& AnsiText);
// A UTC file time as ISO 8601 with seven fractional digits, e.g. "2021-03-04T05:06:07.1234567Z".
std::string IsoUtc(uint64_t FileTime);
