# Trace log files: reader, writer and file consumption.
lw_library(lw_etl
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/etl/Clock.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/etl/Reader.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/etl/Writer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/FileConsumer.cpp
  DEPS lw_os)
