# The log-entry queue and the two ways into it. AddLogItem belongs to the reader unit and AddOwnLogItem
# to the server unit, but both layers use the queue, so the three live in one library below them.
lw_library(lw_logitems
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/LogItems.cpp ${PROJECT_SOURCE_DIR}/capture/AddLogItem.cpp
  DEPS lw_os)
