# Cross-builds brannock for 64-bit Windows with MinGW-w64 on Debian.
#
# The "-posix" compilers are the flavour whose C++ library has std::thread. BRANNOCK_WIN_DEPS, when
# set, names the prefix where LZ4 and GoogleTest were built for Windows (.ci/windows makes it);
# zlib comes from Debian's libz-mingw-w64-dev. Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
if(DEFINED ENV{BRANNOCK_WIN_DEPS})
  set(BRANNOCK_WIN_DEPS $ENV{BRANNOCK_WIN_DEPS} CACHE PATH "LZ4 and GoogleTest built for Windows")
endif()
if(BRANNOCK_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${BRANNOCK_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the compiler's own runtime into every program and library, so that brannock.exe and
# brannock.dll need nothing but Windows itself; prefer static archives of the dependencies.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
