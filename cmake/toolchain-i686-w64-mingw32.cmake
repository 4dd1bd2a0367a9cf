# Cross build for 32-bit x86 Windows (PE32, ILP32: int, long and pointers
# 32 bits) with Debian's MinGW-w64 compilers (package g++-mingw-w64-i686).
# The settings both architectures share: mingw-w64.cmake.
set(QEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
