# The reader thread: session control, replay of earlier log files and live consumption.
lw_library(lw_capture SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/thruETWReaderThread.cpp
  DEPS lw_decode lw_logitems lw_etw lw_os)
