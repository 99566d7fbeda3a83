# Cross build for 64-bit Windows with clang and lld, against the mingw-w64 headers and libraries
# that the GCC build uses: a second compiler over the same code, with the same warnings.
# Debian's clang does not find the mingw-w64 GCC on its own, so its C++ library (the -posix
# thread model, as in mingw-w64-x86_64.cmake) is named here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
file(GLOB gcc_dirs /usr/lib/gcc/${triple}/*-posix)
list(SORT gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET gcc_dirs 0 gcc_dir)
if(NOT EXISTS ${gcc_dir}/include/c++)
  message(FATAL_ERROR "no mingw-w64 GCC with the posix thread model under /usr/lib/gcc/${triple}")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${triple} -isystem ${gcc_dir}/include/c++/backward")
# libpthread is what the posix thread model runs on. libssp carries the stack protector's
# runtime for the programs that do not bring their own (GCC's driver adds it by itself, clang's
# does not): at the end of the link line, after the project's libraries, so that the service
# takes the guard of src/platform/stack_guard_win32.cpp and libssp fills in only what is left.
set(CMAKE_CXX_STANDARD_LIBRARIES "-lpthread -lssp" CACHE STRING "")
# The include flags above reach the link line too, where clang would warn that they are unused.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_dir} -Wno-unused-command-line-argument")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine, each in a private prefix of its own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec)
