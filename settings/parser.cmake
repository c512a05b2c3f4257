lw_library(lw_settings_parser
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/CmdLineParser.cpp ${CMAKE_CURRENT_SOURCE_DIR}/SettingsStrings.cpp
  DEPS lw_os)
