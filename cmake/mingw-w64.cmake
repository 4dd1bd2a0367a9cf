# What the MinGW-w64 cross builds share; a toolchain file per architecture
# sets QEL_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR, then includes this file.
#
# The POSIX thread model of the compilers is used: the runtime's threads and
# mutexes are pthreads, which winpthreads maps onto Win32 threads. Every
# output is self-contained: the GCC runtime, libstdc++ and winpthreads are
# linked statically, so QELMQLib.dll, orrin.exe and orrin_drive.exe need
# nothing beside them but system DLLs.
#
# QEL_WIN_PREFIX: where tools/windows/build-deps.sh installed libzmq and
# jsoncpp for this architecture (static libraries with their pkg-config files).
set(CMAKE_SYSTEM_NAME Windows)
# Windows 7 as the oldest target: libzmq derives _WIN32_WINNT from it.
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER ${QEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${QEL_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QEL_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

if(NOT QEL_WIN_PREFIX AND DEFINED ENV{QEL_WIN_PREFIX})
  set(QEL_WIN_PREFIX $ENV{QEL_WIN_PREFIX})
endif()
# Try-compile projects configure with this file too: hand them the prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEL_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TRIPLE} ${QEL_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the cross-built packages, never the host's.
if(QEL_WIN_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${QEL_WIN_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# libzmq is linked statically into QELMQLib.dll; its headers need to know.
set(CMAKE_C_FLAGS_INIT "-DZMQ_STATIC")
set(CMAKE_CXX_FLAGS_INIT "-DZMQ_STATIC")
set(CMAKE_C_STANDARD_LIBRARIES "-lws2_32 -liphlpapi" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "-lws2_32 -liphlpapi" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
