# Common settings of every Logwarden target.

set(LW_WARNINGS -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Spurious in GCC 12 with std::string and std::vector at -O2 (GCC bugs 105329, 105651).
  list(APPEND LW_WARNINGS -Wno-restrict -Wno-stringop-overflow -Wno-array-bounds)
endif()

if(LW_SANITIZE)
  string(REPLACE ";" "," _lw_san "${LW_SANITIZE}")
  add_compile_options(-fsanitize=${_lw_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_lw_san})
endif()

if(WIN32)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# lw_target_defaults(target): warnings and include root for one of our own targets.
function(lw_target_defaults target)
  target_compile_options(${target} PRIVATE ${LW_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# lw_library(name SOURCES ... [DEPS ...]): a static library of ours.
function(lw_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  lw_target_defaults(${name})
  if(A_DEPS)
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  endif()
endfunction()

# lw_test(name SOURCES ... [DEPS ...] [LABELS ...]): a GoogleTest program registered with CTest.
# Tests run in a sealed environment: UTC, a temporary folder of their own.
function(lw_test name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  lw_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(WIN32)
    # Run under Wine by the cross-build stage; test discovery would need Wine at build time.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "TZ=UTC")
  else()
    gtest_discover_tests(${name}
      PROPERTIES ENVIRONMENT "TZ=UTC" LABELS "${A_LABELS}"
      DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# lw_fuzz(name SOURCES ... [DEPS ...] CORPUS dir): a libFuzzer target.
function(lw_fuzz name)
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  lw_target_defaults(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fuzz/bin)
  set_property(GLOBAL APPEND PROPERTY LW_FUZZ_TARGETS "${name}|${A_CORPUS}")
endfunction()

# lw_bench(name SOURCES ... [DEPS ...]): a Google Benchmark program (built, not run by CTest).
function(lw_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  lw_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${A_DEPS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
