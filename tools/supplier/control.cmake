# The control side of logwarden-supplier: registration, polls and the ApplyTraceSettings callback.
lw_library(lw_supplier_control
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Control.cpp
  DEPS lw_control lw_rpc lw_os)

# logwarden-supplier (defined by a later fragment of this folder) gets the control side.
function(_lw_supplier_link_control)
  if(TARGET logwarden-supplier)
    target_link_libraries(logwarden-supplier PRIVATE lw_supplier_control)
  endif()
endfunction()
cmake_language(DEFER CALL _lw_supplier_link_control)
