# lw_qt_test(name SOURCES ... DEPS ...): a Qt Test program, registered with CTest, run offscreen in UTC.
# A Qt Test program returns the number of failed tests, so CTest sees a failure as a non-zero exit.
if(NOT COMMAND lw_qt_test)
  function(lw_qt_test name)
    cmake_parse_arguments(A "" "" "SOURCES;DEPS;LABELS" ${ARGN})
    add_executable(${name} ${A_SOURCES})
    lw_target_defaults(${name})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE ${A_DEPS} Qt6::Test Qt6::Widgets)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TZ=UTC"
      LABELS "qt;${A_LABELS}"
      TIMEOUT 300)
  endfunction()
endif()
