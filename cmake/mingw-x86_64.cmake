# Cross-compiling for 64-bit Windows. Only the tests use it, on machines that
# cannot run 32-bit code (see tools/build.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
