#include "settings/SettingsStrings.h"

#include "platform/os/CodePage.h"
#include "settings/CmdLineParser.h"

std::string NormaliseFolder(const std::string& Folder) { return lw::os::AnsiLowerCase(TrimText(Folder)); }

std::string FormatClientSettings(const tClientSettings& Settings) {
  return "[S=" + std::to_string(Settings.Level) + "][F=" + std::to_string(Settings.Files) +
         "][L=" + std::to_string(Settings.Lines) + "][D=\"" + Settings.Folder + "\"]";
}

std::string FormatRowSettings(const tClientSettings& Standard, const tClientSettings& Row) {
  std::string out;
  if (Row.Level != Standard.Level) out += "[S=" + std::to_string(Row.Level) + "]";
  if (Row.Files != Standard.Files) out += "[F=" + std::to_string(Row.Files) + "]";
  if (Row.Lines != Standard.Lines) out += "[L=" + std::to_string(Row.Lines) + "]";
  if (Row.Folder != Standard.Folder) out += "[D=\"" + Row.Folder + "\"]";
  return out;
}

std::string FormatExceptionList(const tClientSettings& Standard, const std::vector<tStationException>& Rows) {
  std::string out;
  for (const auto& row : Rows) out += "{" + row.Station + "=" + FormatRowSettings(Standard, row.Settings) + "}";
  return out;
}

std::string FormatGatewaySettings(int32_t Delay, const std::string& TelegramFolder) {
  return "[D=" + std::to_string(Delay) + "][L=\"" + TelegramFolder + "\"]";
}
