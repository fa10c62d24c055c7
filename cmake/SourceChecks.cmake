# Checks over the product sources, defined in the clang build only.
#
# aarch64_syntax: every product source is parsed for aarch64-w64-mingw32 with
# -fsyntax-only and the build's own flags. A compile check only: nothing is
# linked or run, as there is no aarch64 MinGW runtime or libstdc++ here. It
# reads compile_commands.json, so it covers whatever product sources the build
# has.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CROSSCOMPILING)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME aarch64_syntax
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/check-aarch64 ${CMAKE_BINARY_DIR})
  set_tests_properties(aarch64_syntax PROPERTIES LABELS source-check TIMEOUT 900)
endif()
