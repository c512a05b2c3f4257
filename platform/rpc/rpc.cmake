# The RPC runtime (lw_rpc) and, on POSIX, the endpoint mapper logwarden-epmd.
lw_library(lw_rpc SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Ndr.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Pdu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Rpc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Epm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EpmClient.cpp
  DEPS lw_os)
if(WIN32)
  target_link_libraries(lw_rpc PUBLIC ws2_32)
endif()

if(NOT WIN32)
  add_executable(logwarden-epmd ${CMAKE_CURRENT_LIST_DIR}/epmd/EpmdMain.cpp)
  lw_target_defaults(logwarden-epmd)
  target_link_libraries(logwarden-epmd PRIVATE lw_rpc)
  set_target_properties(logwarden-epmd PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
