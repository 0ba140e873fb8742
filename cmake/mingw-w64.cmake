# Cross-building the Win32 console program with mingw-w64 for 32-bit x86 (i686, PE32), the
# kind of process that can load the 32-bit CAPI2032.DLL: cmake -DCMAKE_TOOLCHAIN_FILE=...
# -DLINKSPY_WIN_ARCH=x86_64 builds the same sources as a 64-bit program (PE32+), which is no
# product: the Wine tests run it where the kernel cannot start 32-bit Wine.
set(LINKSPY_WIN_ARCH i686 CACHE STRING "mingw-w64 target: i686 (the product) or x86_64 (tests)")
set_property(CACHE LINKSPY_WIN_ARCH PROPERTY STRINGS i686 x86_64)
if(NOT LINKSPY_WIN_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "LINKSPY_WIN_ARCH is ${LINKSPY_WIN_ARCH}, not i686 or x86_64")
endif()
# The compiler checks read this file again in a project of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LINKSPY_WIN_ARCH)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LINKSPY_WIN_ARCH})

set(MINGW_PREFIX ${LINKSPY_WIN_ARCH}-w64-mingw32)
# The posix thread model: the subsystems use std::mutex and std::condition_variable, which
# the win32 model of this compiler lacks. Its winpthreads is linked in statically below.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
# windres preprocesses with the same compiler (by default it calls the unsuffixed gcc, which
# only the alternatives system provides).
set(CMAKE_RC_FLAGS_INIT "--preprocessor=${CMAKE_C_COMPILER} --preprocessor-arg=-E \
  --preprocessor-arg=-xc-header --preprocessor-arg=-DRC_INVOKED")
set(CMAKE_STRIP ${MINGW_PREFIX}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime of the compiler goes into the program: linkspy.exe needs no DLL of mingw's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
