# logwarden-supplier: the reference supplier program. Its event side (payload, provider) is a library
# of its own so that tests and benchmarks build the same events.
lw_library(lw_supplier_events SOURCES ${CMAKE_CURRENT_LIST_DIR}/Events.cpp DEPS lw_etw lw_os)
add_executable(logwarden-supplier ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
lw_target_defaults(logwarden-supplier)
target_link_libraries(logwarden-supplier PRIVATE lw_supplier_events)
