# Cross-build for 64-bit Windows with Debian's mingw-w64 tool chain (the POSIX thread model,
# which the C++ library's threads and mutexes need). The programs are linked statically against
# the compiler's run-time libraries, so that talvo_rc.exe runs on Windows (and under Wine)
# without any DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALVO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TALVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows XP's headers would hide the calls used; ask for Windows 7 and later.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
