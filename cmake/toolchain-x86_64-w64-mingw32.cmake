# Cross build for 64-bit x86 Windows (PE32+, LLP64: int and long 32 bits,
# long long and pointers 64) with Debian's MinGW-w64 compilers (package
# g++-mingw-w64-x86-64). The settings both architectures share: mingw-w64.cmake.
set(QEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
