# Installation in the GNUInstallDirs places, a CMake package config with the
# imported target tavirlen::edclean, a pkg-config file, and CPack packages
# (.deb on Linux, .zip on Windows).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_edclean_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tavirlen-empty-dir-cleaner)

set_target_properties(tavirlen-empty-dir-cleaner PROPERTIES EXPORT_NAME edclean)
target_include_directories(tavirlen-empty-dir-cleaner INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS tavirlen-empty-dir-cleaner EXPORT tavirlen-empty-dir-cleaner-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/edclean.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tavirlen-empty-dir-cleaner-targets NAMESPACE tavirlen::
  DESTINATION ${_edclean_cmake_dir})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tavirlen-empty-dir-cleanerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfig.cmake
  INSTALL_DESTINATION ${_edclean_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfig.cmake
  ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfigVersion.cmake
  DESTINATION ${_edclean_cmake_dir})

# The .pc file finds its prefix relative to itself, so a staged or moved
# installation keeps working.
file(RELATIVE_PATH EDCLEAN_PC_PREFIX_FROM_PCDIR
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/tavirlen-empty-dir-cleaner.pc.in
  ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleaner.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleaner.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The command-line host finds the library beside it after installation.
install(TARGETS edclean RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  file(RELATIVE_PATH _edclean_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(edclean PROPERTIES INSTALL_RPATH "$ORIGIN/${_edclean_bin_to_lib}")
  # Where man and bash look: its manual page (when help2man made one) and
  # its completion.
  if(EDCLEAN_MAN_PAGE)
    install(FILES ${EDCLEAN_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/edclean/edclean.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME edclean)
endif()

set(CPACK_PACKAGE_NAME tavirlen-empty-dir-cleaner)
set(CPACK_PACKAGE_VENDOR "tavirlen")
set(CPACK_PACKAGE_CONTACT "tavirlen developers <dev@tavirlen.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Find and remove empty directories and zero-byte files")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
endif()
include(CPack)
