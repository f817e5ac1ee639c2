# Cross-compiles for 64-bit Windows with clang instead of GCC, against the
# same MinGW-w64 headers, import libraries and posix-thread GCC C++ library
# as cmake/mingw-w64-x86_64.cmake, linking with lld. A second compiler sees
# different warnings and undefined behaviour.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_SYSROOT /usr/${MINGW_TRIPLE})

# The posix-thread GCC runtime (libstdc++ with std::thread, libgcc); clang
# does not look for it by itself when given a sysroot.
file(GLOB MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-posix)
list(SORT MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET MINGW_GCC_DIRS 0 MINGW_GCC_DIR)
if(NOT IS_DIRECTORY "${MINGW_GCC_DIR}/include/c++")
  message(FATAL_ERROR "No posix-thread MinGW-w64 GCC C++ library under /usr/lib/gcc/${MINGW_TRIPLE}")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-windows-gnu)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-windows-gnu)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_SYSROOT ${MINGW_SYSROOT})

set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${MINGW_GCC_DIR}/include/c++
  ${MINGW_GCC_DIR}/include/c++/${MINGW_TRIPLE}
  ${MINGW_GCC_DIR}/include/c++/backward)
# -pthread: libstdc++ of the posix thread model needs winpthreads, which
# GCC links by itself and clang only when asked.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${MINGW_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

set(CMAKE_FIND_ROOT_PATH ${MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
