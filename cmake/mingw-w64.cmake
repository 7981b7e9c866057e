# Cross-compiles wq.dll for 64-bit Windows with MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# wq.dll is built by the compiler's default thread model (win32 on Debian),
# which puts no threading runtime into the DLL. WQ_MINGW_THREADS=posix picks
# the posix model instead, whose std::mutex GoogleTest needs: the build of
# the unit tests for Windows.
set(WQ_MINGW_THREADS "" CACHE STRING "MinGW-w64 thread model: empty (default), win32 or posix")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WQ_MINGW_THREADS)
set(wq_mingw_suffix "")
if(WQ_MINGW_THREADS)
  set(wq_mingw_suffix -${WQ_MINGW_THREADS})
endif()
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc${wq_mingw_suffix})
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++${wq_mingw_suffix})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The DLL is what users load: guard its stack frames. The guard's runtime
# (libssp) is linked in statically so that the DLL still needs only
# Windows' own DLLs.
set(CMAKE_C_FLAGS_INIT "-fstack-protector-strong")
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
