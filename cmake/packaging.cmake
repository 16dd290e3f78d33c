# install() rules and CPack: a ZIP for Windows (the service, skyhelm-doc, skyhelm-ctl and
# a README: the portable form; scripts/package.sh makes the Windows Installer package of the
# same files) and a Debian package for Linux (the programs and their .dat files in one folder,
# links on the PATH, a systemd user unit, manual pages).

# The package version: the project version, marked "+dirty" when the work tree has changes that
# are not committed (a package built from it is not the one that version names).
set(SKYHELM_PACKAGE_VERSION ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE git_changes RESULT_VARIABLE git_result ERROR_QUIET)
  if(git_result EQUAL 0 AND NOT git_changes STREQUAL "")
    string(APPEND SKYHELM_PACKAGE_VERSION "+dirty")
  endif()
endif()

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(staging_dir ${CMAKE_BINARY_DIR}/package-staging)
file(MAKE_DIRECTORY ${staging_dir})

set(CPACK_PACKAGE_NAME skyhelm)
set(CPACK_PACKAGE_VENDOR "Skyhelm")
set(CPACK_PACKAGE_VERSION ${SKYHELM_PACKAGE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "background service for USB flight-simulation controllers")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Only the programs named in the rules below are packaged; the package script builds exactly them.
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")

if(WIN32)
  install(TARGETS skyhelm skyhelm-doc RUNTIME DESTINATION .)
  if(TARGET skyhelm-ctl)
    install(TARGETS skyhelm-ctl RUNTIME DESTINATION .)
  endif()
  # Windows users open README.txt with Notepad: CRLF line ends.
  configure_file(${packaging_dir}/windows/README.txt ${staging_dir}/README.txt NEWLINE_STYLE CRLF)
  install(FILES ${staging_dir}/README.txt DESTINATION .)
  # For the Windows Installer package (scripts/package.sh msi): its version must be numeric, its
  # file is named with the package version.
  file(WRITE ${staging_dir}/msi-version.txt "${PROJECT_VERSION} ${SKYHELM_PACKAGE_VERSION}\n")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME skyhelm-${SKYHELM_PACKAGE_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  # The service reads its .dat files beside its executable, found through /proc/self/exe, which
  # follows the links on the PATH to this folder.
  set(program_dir lib/skyhelm)
  install(TARGETS skyhelm skyhelm-doc skyhelm-sim RUNTIME DESTINATION ${program_dir})
  install(FILES ${SKYHELM_DAT_FILES} DESTINATION ${program_dir})
  file(MAKE_DIRECTORY ${staging_dir}/bin ${staging_dir}/man)
  foreach(program IN ITEMS skyhelm skyhelm-doc skyhelm-sim)
    file(CREATE_LINK ../${program_dir}/${program} ${staging_dir}/bin/${program} SYMBOLIC)
    install(FILES ${staging_dir}/bin/${program} DESTINATION bin)
    # Manual pages, compressed the way Debian keeps them (no name or time stamp in the header).
    set(page ${packaging_dir}/man/${program}.1)
    configure_file(${page} ${staging_dir}/man/${program}.1 @ONLY)
    execute_process(COMMAND gzip -9nf ${staging_dir}/man/${program}.1 RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip of ${page} failed")
    endif()
    install(FILES ${staging_dir}/man/${program}.1.gz DESTINATION share/man/man1)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${packaging_dir}/man/skyhelm.1 ${packaging_dir}/man/skyhelm-doc.1
               ${packaging_dir}/man/skyhelm-sim.1 ${packaging_dir}/linux/changelog)
  set(SKYHELM_MAINTAINER "Skyhelm maintainers <maintainers@skyhelm.example>"
      CACHE STRING "Maintainer field of the Debian package")
  install(FILES ${packaging_dir}/linux/skyhelm.service DESTINATION lib/systemd/user)
  configure_file(${packaging_dir}/linux/changelog ${staging_dir}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${staging_dir}/changelog)
  install(FILES ${packaging_dir}/linux/copyright ${staging_dir}/changelog.gz
          ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/skyhelm)
  install(FILES ${packaging_dir}/linux/lintian-overrides DESTINATION share/lintian/overrides
          RENAME skyhelm)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SKYHELM_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Skyhelm runs the clutch profile browser of controllers with a character\n"
      "display, indicator LEDs and a clutch button: it shows the user's profile\n"
      "folders on the display while the clutch is engaged, loads the chosen profile,\n"
      "drives the shift LED and the display strings. It talks to a user-space driver\n"
      "over Unix sockets. skyhelm-sim is a simulated driver to try it with,\n"
      "skyhelm-doc prints what a profile holds.")
  string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
