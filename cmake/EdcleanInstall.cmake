# Installation in the GNUInstallDirs places, split into the parts a
# distribution packages separately:
#   runtime  the shared library a program loads (the DLL on Windows);
#   dev      the header, the link-time library, the CMake package config
#            with the imported target tavirlen::edclean, the pkg-config file;
#   cli      the command-line tool with its manual page and bash completion;
#   notices  the license and the notices of the code compiled in.
# A plain `cmake --install` installs all of them. The Debian packages are made
# from the first three by packaging/debian/build-debs.sh; the Windows .zip is
# made by CPack from all four.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_edclean_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tavirlen-empty-dir-cleaner)

set_target_properties(tavirlen-empty-dir-cleaner PROPERTIES EXPORT_NAME edclean)
target_include_directories(tavirlen-empty-dir-cleaner INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS tavirlen-empty-dir-cleaner EXPORT tavirlen-empty-dir-cleaner-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/edclean.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
install(EXPORT tavirlen-empty-dir-cleaner-targets NAMESPACE tavirlen::
  DESTINATION ${_edclean_cmake_dir} COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tavirlen-empty-dir-cleanerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfig.cmake
  INSTALL_DESTINATION ${_edclean_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfig.cmake
  ${CMAKE_BINARY_DIR}/tavirlen-empty-dir-cleanerConfigVersion.cmake
  DESTINATION ${_edclean_cmake_dir} COMPONENT dev)

# The pkg-config file names the prefix the files are installed under, as a
# plain absolute path, decided when installing: `cmake --install --prefix P`
# gives P, a staged install (DESTDIR) the configured prefix it will live in.
# The Windows .zip is unpacked anywhere, so there the prefix is found from
# the file's own place instead.
if(WIN32)
  file(RELATIVE_PATH _edclean_pc_up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(EDCLEAN_PC_PREFIX "\${pcfiledir}/${_edclean_pc_up}")
else()
  # Kept for the second pass, at install time.
  set(EDCLEAN_PC_PREFIX "@EDCLEAN_PC_PREFIX@")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tavirlen-empty-dir-cleaner.pc.in
  ${CMAKE_BINARY_DIR}/pkgconfig/tavirlen-empty-dir-cleaner.pc.in @ONLY)
set(_edclean_pc ${CMAKE_BINARY_DIR}/pkgconfig/tavirlen-empty-dir-cleaner.pc)
if(WIN32)
  configure_file(${_edclean_pc}.in ${_edclean_pc} COPYONLY)
else()
  install(CODE "set(EDCLEAN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${_edclean_pc}.in\" \"${_edclean_pc}\" @ONLY)" COMPONENT dev)
endif()
install(FILES ${_edclean_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(TARGETS edclean RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
if(NOT WIN32)
  # The command-line host finds the library beside it in a private prefix;
  # a distribution's build, with the library in the loader's own folders,
  # turns this off with -DCMAKE_SKIP_INSTALL_RPATH=ON.
  file(RELATIVE_PATH _edclean_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(edclean PROPERTIES INSTALL_RPATH "$ORIGIN/${_edclean_bin_to_lib}")
  # Where man and bash look: its manual page (when help2man made one) and
  # its completion.
  if(EDCLEAN_MAN_PAGE)
    install(FILES ${EDCLEAN_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/edclean/edclean.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME edclean
    COMPONENT cli)
endif()

# The license, and the notices that the licenses of the code compiled into
# the library and the tool (RapidJSON, CLI11) ask to travel with it. The
# Debian packages carry the same texts in their copyright files instead.
if(WIN32)
  set(_edclean_notices_dir .)
else()
  set(_edclean_notices_dir ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES.txt
  DESTINATION ${_edclean_notices_dir} COMPONENT notices)

if(WIN32)
  # What a Windows developer needs beside the DLL: import libraries for
  # Microsoft's linker (.lib, made from the .def) and for mingw (.dll.a,
  # installed with the target above), the .def itself and a short readme.
  set(_edclean_def ${PROJECT_SOURCE_DIR}/src/api/tavirlen-empty-dir-cleaner.def)
  find_program(EDCLEAN_DLLTOOL NAMES llvm-dlltool x86_64-w64-mingw32-dlltool)
  if(EDCLEAN_DLLTOOL)
    set(_edclean_msvc_lib ${CMAKE_BINARY_DIR}/lib/tavirlen-empty-dir-cleaner.lib)
    add_custom_command(OUTPUT ${_edclean_msvc_lib}
      COMMAND ${EDCLEAN_DLLTOOL} -m i386:x86-64 -d ${_edclean_def} -l ${_edclean_msvc_lib}
      DEPENDS ${_edclean_def}
      COMMENT "Import library for Microsoft's linker from the .def"
      VERBATIM)
    add_custom_target(edclean_msvc_import_lib ALL DEPENDS ${_edclean_msvc_lib})
    install(FILES ${_edclean_msvc_lib} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  else()
    message(STATUS "neither llvm-dlltool nor dlltool found: no .lib import library")
  endif()
  install(FILES ${_edclean_def} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt DESTINATION . COMPONENT notices)

  set(CPACK_PACKAGE_NAME tavirlen-empty-dir-cleaner)
  set(CPACK_PACKAGE_VENDOR "the tavirlen-empty-dir-cleaner developers")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Find and remove empty directories and zero-byte files")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  # The DLL and the tool without their DWARF debug information, which no
  # Windows debugger reads.
  set(CPACK_STRIP_FILES ON)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  include(CPack)
endif()
