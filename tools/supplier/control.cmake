# The control side of logwarden-supplier: registration, polls and the ApplyTraceSettings callback.
lw_library(lw_supplier_control
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Control.cpp
  DEPS lw_control lw_rpc lw_os)
