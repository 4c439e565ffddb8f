# Installation, from the host tree once both trees are built (`make build`):
#   make install PREFIX=DIR      (or: cmake --install build/host --prefix DIR)
# lays out
#   bin/zobrin-pack
#   lib/zobrin-onefile/launcher/   the launcher kit, which the Windows tree builds into
#                                  ZOBRIN_BIN_DIR/launcher (zobrin-pack looks for it here,
#                                  LINK_INSTALLED_LAUNCHER_DIR in packer/link_exe.h)
#   include/zobrin/app.h
#   lib/cmake/ZobrinOnefile/       the CMake package (find_package(ZobrinOnefile)) and a
#                                  toolchain file for it, mingw-w64-x86_64.cmake
#   share/doc/zobrin-onefile/      README.md, docs/ and examples/
#   share/man/man1/zobrin-pack.1   the manual page (docs/zobrin-pack.1)
# Every path is relative to the prefix, so the tree works wherever it is moved.
include(CMakePackageConfigHelpers)

set(ZOBRIN_INSTALL_BIN_DIR bin)
set(ZOBRIN_INSTALL_KIT_DIR lib/zobrin-onefile/launcher)
set(ZOBRIN_INSTALL_INCLUDE_DIR include)
set(ZOBRIN_INSTALL_PACKAGE_DIR lib/cmake/ZobrinOnefile)
set(ZOBRIN_INSTALL_DOC_DIR share/doc/zobrin-onefile)
set(ZOBRIN_INSTALL_MAN_DIR share/man/man1)

install(TARGETS zobrin-pack RUNTIME DESTINATION ${ZOBRIN_INSTALL_BIN_DIR})

set(zobrin_built_kit ${ZOBRIN_BIN_DIR}/launcher)
install(CODE "
  if(NOT EXISTS \"${zobrin_built_kit}/launcher.exe\")
    message(FATAL_ERROR \"the launcher kit is not built: ${zobrin_built_kit}/launcher.exe is missing (make build builds it)\")
  endif()")
install(DIRECTORY ${zobrin_built_kit}/ DESTINATION ${ZOBRIN_INSTALL_KIT_DIR}
  PATTERN .stamp EXCLUDE)

install(FILES ${CMAKE_SOURCE_DIR}/include/zobrin/app.h
  DESTINATION ${ZOBRIN_INSTALL_INCLUDE_DIR}/zobrin)

set(zobrin_package_build ${CMAKE_BINARY_DIR}/package)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/ZobrinOnefileConfig.cmake.in
  ${zobrin_package_build}/ZobrinOnefileConfig.cmake
  INSTALL_DESTINATION ${ZOBRIN_INSTALL_PACKAGE_DIR}
  PATH_VARS ZOBRIN_INSTALL_BIN_DIR ZOBRIN_INSTALL_KIT_DIR ZOBRIN_INSTALL_INCLUDE_DIR)
# The launcher kit is for x86-64 Windows whatever the packer's host: no pointer-size check.
write_basic_package_version_file(${zobrin_package_build}/ZobrinOnefileConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES
  ${zobrin_package_build}/ZobrinOnefileConfig.cmake
  ${zobrin_package_build}/ZobrinOnefileConfigVersion.cmake
  ${CMAKE_SOURCE_DIR}/cmake/ZobrinOnefile.cmake
  ${CMAKE_SOURCE_DIR}/cmake/ZobrinOnefileInputs.cmake
  DESTINATION ${ZOBRIN_INSTALL_PACKAGE_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/cmake/ZobrinOnefileToolchain.cmake
  DESTINATION ${ZOBRIN_INSTALL_PACKAGE_DIR} RENAME mingw-w64-x86_64.cmake)

install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${ZOBRIN_INSTALL_DOC_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs ${CMAKE_SOURCE_DIR}/examples
  DESTINATION ${ZOBRIN_INSTALL_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/zobrin-pack.1 DESTINATION ${ZOBRIN_INSTALL_MAN_DIR})
