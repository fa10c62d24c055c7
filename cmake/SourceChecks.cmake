# Checks over the product sources, defined in the clang build only (tools/check-sources
# says what each one does):
#   aarch64_syntax  every product source parsed for aarch64-w64-mingw32 with
#                   -fsyntax-only: a compile check, nothing is linked or run, as
#                   Debian has no aarch64 MinGW runtime;
#   clang_tidy      clang-tidy with .clang-tidy, zero findings.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CROSSCOMPILING)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(kv_check ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/check-sources)
  add_test(NAME aarch64_syntax COMMAND ${kv_check} aarch64 ${CMAKE_BINARY_DIR})
  add_test(NAME clang_tidy COMMAND ${kv_check} tidy ${CMAKE_BINARY_DIR})
  set_tests_properties(aarch64_syntax clang_tidy PROPERTIES LABELS source-check TIMEOUT 900)
endif()
