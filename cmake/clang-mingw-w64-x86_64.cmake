# A second compiler: Debian's clang, cross-compiling for 64-bit Windows over the
# same MinGW-w64 headers, the MinGW GCC's libstdc++ and its posix threads.
# Programs are linked statically and run under Wine like the GCC build's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${KV_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KV_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${KV_MINGW_TRIPLE}-windres)

# libstdc++'s include folders and the library folder of the MinGW GCC, asked of
# that compiler itself so that a GCC upgrade needs no edit here.
execute_process(COMMAND ${KV_MINGW_TRIPLE}-g++-posix -x c++ -E -v -
                INPUT_FILE /dev/null OUTPUT_QUIET ERROR_VARIABLE kv_gcc_search
                RESULT_VARIABLE kv_gcc_result)
if(NOT kv_gcc_result EQUAL 0)
  message(FATAL_ERROR "${KV_MINGW_TRIPLE}-g++-posix not found (tools/install-deps)")
endif()
string(REGEX MATCH "#include <...> search starts here:\n(.*)\nEnd of search list" _ "${kv_gcc_search}")
string(REGEX REPLACE "\n" ";" kv_gcc_dirs "${CMAKE_MATCH_1}")
set(KV_LIBSTDCXX_INCLUDE_DIRS "")
foreach(dir IN LISTS kv_gcc_dirs)
  string(STRIP "${dir}" dir)
  if(dir MATCHES "/include/c\\+\\+")
    get_filename_component(dir "${dir}" REALPATH)
    list(APPEND KV_LIBSTDCXX_INCLUDE_DIRS "${dir}")
  endif()
endforeach()
if(NOT KV_LIBSTDCXX_INCLUDE_DIRS)
  message(FATAL_ERROR "no libstdc++ include folders in the output of ${KV_MINGW_TRIPLE}-g++-posix -v")
endif()
set(KV_LIBSTDCXX_INCLUDE_DIRS "${KV_LIBSTDCXX_INCLUDE_DIRS}" CACHE INTERNAL "")
execute_process(COMMAND ${KV_MINGW_TRIPLE}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE kv_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(KV_MINGW_GCC_LIB_DIR "${kv_libgcc}" DIRECTORY)

set(kv_isystem "")
foreach(dir IN LISTS KV_LIBSTDCXX_INCLUDE_DIRS)
  string(APPEND kv_isystem " -isystem ${dir}")
endforeach()
# libstdc++ was built by GCC, whose thread-local variables (std::call_once's)
# are emulated; clang must reach them the same way.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls${kv_isystem}")
# -pthread puts winpthread inside the driver's static library group, after
# libstdc++ and libgcc_eh, which both call it. LLVM's linker, because the GNU
# one warns on every type name string that clang and the GCC-built libstdc++
# both emit with different padding.
set(kv_link "-fuse-ld=lld -L${KV_MINGW_GCC_LIB_DIR} -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kv_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kv_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${kv_link}")

set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
