# Installation layout and the Debian package (`make deb`, CPack's DEB
# generator): updater and card-sim in /usr/bin, their manual pages, the
# README, the copyright file and the Debian changelog.
include(GNUInstallDirs)

set(UPDATER_DEB_MAINTAINER "updater maintainers <updater@example.org>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")

set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR "The updater authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for DVI/HDMI to SDI converter cards")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # updater_VERSION-RELEASE_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${UPDATER_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# CPack puts the summary above this as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "updater updates the firmware of DVI/HDMI to SDI converter cards over an
RS-232 port: the FPGA, the flash devices of the video processor, the
microcontroller, the EDID and the gamma table, and prints the video
processor's status report.
.
card-sim is a simulated card on a pseudo-terminal, to run and test the
updater without hardware.")

install(TARGETS updater card-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (the package) also drops the compiler's .comment and
# the .note section, as Debian's own packaging tools do.
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program updater card-sim)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                        RESULT_VARIABLE failed)
        if(failed)
          message(FATAL_ERROR \"strip failed on \${program}\")
        endif()
      endforeach()
    endif()")
endif()

# Manual pages and the changelog go in gzip-compressed (-9, no name or time
# stamp in the header, as Debian wants them).
find_program(GZIP_PROGRAM gzip)
if(NOT GZIP_PROGRAM)
  set(GZIP_PROGRAM gzip)
endif()
set(UPDATER_DEB_OUT ${PROJECT_BINARY_DIR}/packaging)
string(TIMESTAMP UPDATER_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # honours SOURCE_DATE_EPOCH
configure_file(${CMAKE_CURRENT_LIST_DIR}/updater.1.in ${UPDATER_DEB_OUT}/updater.1 @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/card-sim.1.in ${UPDATER_DEB_OUT}/card-sim.1 @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.Debian.in ${UPDATER_DEB_OUT}/changelog.Debian @ONLY)
set(compressed)
foreach(file updater.1 card-sim.1 changelog.Debian)
  add_custom_command(OUTPUT ${UPDATER_DEB_OUT}/${file}.gz
                     COMMAND ${GZIP_PROGRAM} -9nkf ${UPDATER_DEB_OUT}/${file}
                     DEPENDS ${UPDATER_DEB_OUT}/${file} VERBATIM)
  list(APPEND compressed ${UPDATER_DEB_OUT}/${file}.gz)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${compressed})

install(FILES ${UPDATER_DEB_OUT}/updater.1.gz ${UPDATER_DEB_OUT}/card-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The package is not meant for Debian's archive, so it closes no ITP bug.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME updater)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright
              ${UPDATER_DEB_OUT}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
