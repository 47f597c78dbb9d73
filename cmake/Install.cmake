# What `cmake --install` puts under the prefix: the programs into bin/, the documents into
# share/doc/larch (the native build adds packaging/ there). The native build installs Larch,
# larchtool and larch-server; the Windows build the bootstrapper Larch.exe, the one program an
# installation ships.
include(GNUInstallDirs)
set(LARCH_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/larch)
if(WIN32)
  install(TARGETS Larch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS Larch larchtool larch-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${LARCH_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${LARCH_INSTALL_DOCDIR})
if(NOT WIN32)
  # The service unit and sample settings, for the operator to copy into place.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/packaging/ DESTINATION ${LARCH_INSTALL_DOCDIR}/packaging)
endif()

# The native install, checked by running what it installed (see InstallTest.cmake).
if(NOT WIN32)
  add_test(NAME install_test
           COMMAND ${CMAKE_COMMAND} -DLARCH_SOURCE_DIR=${PROJECT_SOURCE_DIR}
                   -DLARCH_BUILD_DIR=${CMAKE_BINARY_DIR}
                   -DLARCH_PREFIX=${CMAKE_BINARY_DIR}/install-test
                   -DLARCH_VERSION=${PROJECT_VERSION}
                   -P ${PROJECT_SOURCE_DIR}/cmake/InstallTest.cmake)
endif()
