# Cross toolchain: 32-bit Windows with mingw-w64, posix thread model (std::thread needs it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# Libraries come from Debian's mingw packages and from the prefixes that
# scripts/build-windows-deps fills with the ones Debian packages only natively.
get_filename_component(LARCH_WINDOWS_DEPS ${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/i686
                       ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(pkg_config_dirs)
foreach(lib libsodium expat libdeflate)
  if(NOT EXISTS ${LARCH_WINDOWS_DEPS}/${lib}/stamp)
    message(FATAL_ERROR
            "${lib} for Windows is missing from ${LARCH_WINDOWS_DEPS}: run scripts/setup")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH ${LARCH_WINDOWS_DEPS}/${lib})
  list(APPEND pkg_config_dirs ${LARCH_WINDOWS_DEPS}/${lib}/lib/pkgconfig)
endforeach()
# pkg-config, which some find modules ask first, must describe those libraries, not the host's.
string(REPLACE ";" ":" pkg_config_dirs "${pkg_config_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${pkg_config_dirs}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every library is linked statically, so the programs need no DLLs beside them.
set(ZLIB_USE_STATIC_LIBS ON)
# CTest runs the Windows test binaries under 32-bit Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
