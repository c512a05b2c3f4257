lw_library(lw_decode SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/EventDecoder.cpp DEPS lw_logitems lw_os)
