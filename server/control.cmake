# The control interface's identity and marshalling (lw_control).
lw_library(lw_control SOURCES ${CMAKE_CURRENT_LIST_DIR}/ControlInterface.cpp DEPS lw_rpc)
