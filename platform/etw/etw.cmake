# The trace-session API: SystemTraceApi() for the platform of the build.
#   POSIX:   the client side of the session hosts, and the host program logwarden-traced.
#   Windows: advapi32.
if(WIN32)
  lw_library(lw_etw SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/win/WinTraceApi.cpp DEPS lw_etl lw_os)
  target_link_libraries(lw_etw PUBLIC advapi32)
else()
  # The messages between processes and hosts, apart so that the fuzz targets take only the decoders.
  lw_library(lw_etw_wire
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/posix/Wire.cpp ${CMAKE_CURRENT_SOURCE_DIR}/posix/Socket.cpp
    DEPS lw_os)
  lw_library(lw_etw SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/posix/PosixTraceApi.cpp DEPS lw_etw_wire lw_etl lw_os)

  add_executable(logwarden-traced
    ${CMAKE_CURRENT_SOURCE_DIR}/posix/traced_main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/posix/SessionHost.cpp)
  lw_target_defaults(logwarden-traced)
  target_link_libraries(logwarden-traced PRIVATE lw_etw_wire lw_etl lw_os)

  # Where StartTraceA finds the host when it is not beside the program (tests, tools in the build tree).
  target_compile_definitions(lw_etw PRIVATE LW_TRACED_PATH="$<TARGET_FILE:logwarden-traced>")
  add_dependencies(lw_etw logwarden-traced)
endif()
