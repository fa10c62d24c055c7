# Project-wide compile settings and the helpers every folder uses.

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# Windows Vista is the oldest system the installer supports (it falls back to
# Task Scheduler 1.0 there); newer APIs are looked up at run time.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN
                        _WIN32_WINNT=0x0600 WINVER=0x0600)

if(MSVC)
  add_compile_options(/W4 /permissive- /utf-8 /EHsc /Zc:__cplusplus)
  set(KV_WARNINGS /WX)
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  # Source paths in __FILE__ (exception file texts, assertions) are relative to
  # the repository, never the build machine's. A compiler cache with a base
  # directory hands the compiler paths relative to the build directory instead
  # ("../../kvtl/..."), so that form is mapped too.
  add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)
  file(RELATIVE_PATH KV_SOURCE_FROM_BUILD ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  # RELATIVE_PATH answers "../../", and the map wants the path without its slash.
  string(REGEX REPLACE "/+$" "" KV_SOURCE_FROM_BUILD "${KV_SOURCE_FROM_BUILD}")
  if(KV_SOURCE_FROM_BUILD)
    add_compile_options(-fmacro-prefix-map=${KV_SOURCE_FROM_BUILD}/=)
  endif()
  set(KV_WARNINGS -Wall -Wextra -Wpedantic -Wno-cast-function-type -Werror)
  # Every .exe and .dll runs alone: no MinGW runtime DLLs beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # GCC never calls the CRT's _purecall; keep its own handler, which aborts.
  add_link_options(-Wl,-u,__cxa_pure_virtual)
endif()

# kv_target_defaults(<target>): warnings as errors for the project's own code.
function(kv_target_defaults target)
  target_compile_options(${target} PRIVATE ${KV_WARNINGS})
endfunction()

# kv_library(<name> SOURCES ... [LIBRARIES ...]): one static library per
# folder, public headers in <folder>/include.
function(kv_library name)
  cmake_parse_arguments(ARG "" "INCLUDE_DIR" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_INCLUDE_DIR)
    set(ARG_INCLUDE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${ARG_INCLUDE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBRARIES})
  kv_target_defaults(${name})
endfunction()

# kv_test(<name> SOURCES ... [LIBRARIES ...] [TIMEOUT s]): a GoogleTest
# executable run by CTest. Cross-compiled, it runs under Wine in a private prefix
# copied from the template that the wine_template fixture prepares.
function(kv_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;DEPENDS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} kv_test_support GTest::gmock_main)
  kv_target_defaults(${name})
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:${CMAKE_BINARY_DIR}/test-results/${name}.xml)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS unit)
  kv_wine_test_properties(${name})
endfunction()

# kv_wine_test_properties(<test>): a test that starts Windows programs needs
# the template prefix.
function(kv_wine_test_properties test)
  if(CMAKE_CROSSCOMPILING)
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED wine_template)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
                 "KV_WINE_TEMPLATE=${KV_WINE_TEMPLATE}" "KV_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endif()
endfunction()
