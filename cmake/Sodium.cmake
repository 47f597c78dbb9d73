# libsodium, the cryptography library of every build: Debian's package natively, the static
# library that scripts/build-windows-deps cross-builds for Windows. Subsystems link larch::sodium.
find_path(SODIUM_INCLUDE_DIR sodium.h REQUIRED)
find_library(SODIUM_LIBRARY sodium REQUIRED)
add_library(larch::sodium UNKNOWN IMPORTED)
set_target_properties(larch::sodium PROPERTIES IMPORTED_LOCATION ${SODIUM_LIBRARY}
                                               INTERFACE_INCLUDE_DIRECTORIES ${SODIUM_INCLUDE_DIR})
if(WIN32)
  # Linked statically: its declarations must not ask for a DLL's imports.
  target_compile_definitions(larch::sodium INTERFACE SODIUM_STATIC)
endif()
