// Builders of the extended settings strings that the client and gateway suppliers read.
//
// Nothing is escaped: a value that holds its item's brackets does not read back intact. Texts are
// inserted as given; NormaliseFolder gives the form the strings carry folders in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Standard settings of a client application: level index (0..3), files, lines, trace folder.
struct tClientSettings {
  int32_t Level = 0;
  int32_t Files = 10;
  int32_t Lines = 1000;
  std::string Folder = "C:\\Zorv\\LOG";
};

// One station exception: the station's settings; the row writes only what differs from the standard.
struct tStationException {
  std::string Station;
  tClientSettings Settings;
};

// Trimmed (codes 0 to 32) and lower-cased by the ANSI code page's rules.
std::string NormaliseFolder(const std::string& Folder);

// "[S=%d][F=%d][L=%d][D=\"%s\"]"
std::string FormatClientSettings(const tClientSettings& Settings);
// The items of Row that differ from Standard, in the order S, F, L, D; folders compared byte for byte.
std::string FormatRowSettings(const tClientSettings& Standard, const tClientSettings& Row);
// "{%s=%s}" per row, in the rows' order; empty for no rows.
std::string FormatExceptionList(const tClientSettings& Standard, const std::vector<tStationException>& Rows);
// "[D=%d][L=\"%s\"]"
std::string FormatGatewaySettings(int32_t Delay, const std::string& TelegramFolder);
