# The control server: supplier registry with poll and push (no RPC), and the server thread on the runtime.
lw_library(lw_supplier_registry
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/SupplierRegistry.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/SupplierProcessName.cpp)
if(WIN32)
  target_link_libraries(lw_supplier_registry PUBLIC psapi)
endif()

lw_library(lw_server
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/uETW_RPCServer.cpp
  DEPS lw_supplier_registry lw_control lw_logitems lw_os)
