# Installation and the two Debian packages, built by CPack from one build:
#   mervo-cli             the service tool, its manual page, bash completion,
#                         README, examples, copyright and changelog
#   mervo-controller-sim  the simulated controller, its manual page, copyright
#                         and changelog
# `cpack -G DEB` in a release build makes mervo-cli_VERSION-REVISION_ARCH.deb
# and mervo-controller-sim_VERSION-REVISION_ARCH.deb; tests/package checks them.

# The one place that names the packages' maintainer, "Name <address>" (the
# Maintainer field of both packages). lintian wants a mail address whose host
# looks real.
set(MERVO_MAINTAINER "mervo-cli developers <mervo-cli@lists.example.org>")
# The Debian revision comes from the newest entry of packaging/debian/changelog,
# "mervo-cli (VERSION-REVISION) ..." (tests/package checks that its VERSION is
# the project's).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog MERVO_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT MERVO_CHANGELOG_TOP MATCHES "^mervo-cli \\([^)]+-([^)-]+)\\)")
  message(FATAL_ERROR "packaging/debian/changelog does not start with an entry \"mervo-cli (VERSION-REVISION)\"")
endif()
set(MERVO_DEBIAN_REVISION ${CMAKE_MATCH_1})

include(GNUInstallDirs)
set(MERVO_DOC_CLI ${CMAKE_INSTALL_DATAROOTDIR}/doc/mervo-cli)
set(MERVO_DOC_SIM ${CMAKE_INSTALL_DATAROOTDIR}/doc/mervo-controller-sim)

# Manual pages and the changelog go in compressed, as Debian keeps them
# (-n: no name or time stamp in the header, so the output is reproducible).
find_program(MERVO_GZIP gzip REQUIRED)
set(MERVO_GZIPPED)
function(mervo_gzip source output)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${output}
    COMMAND ${MERVO_GZIP} -9 -n -c ${source} > ${PROJECT_BINARY_DIR}/${output}
    DEPENDS ${source})
  set(MERVO_GZIPPED ${MERVO_GZIPPED} ${PROJECT_BINARY_DIR}/${output} PARENT_SCOPE)
endfunction()
mervo_gzip(${PROJECT_SOURCE_DIR}/doc/mervo-cli.1 mervo-cli.1.gz)
mervo_gzip(${PROJECT_SOURCE_DIR}/doc/mervo-controller-sim.1 mervo-controller-sim.1.gz)
mervo_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog changelog.Debian.gz)
add_custom_target(mervo-compressed-docs ALL DEPENDS ${MERVO_GZIPPED})

# Installed programs lose the compiler's .comment section (version strings of
# no use at run time), after the strip that CPack asks for.
function(mervo_install_program target component)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\"
      COMMAND_ERROR_IS_FATAL ANY)"
    COMPONENT ${component})
endfunction()

# mervo-cli
mervo_install_program(mervo-cli cli)
install(FILES ${PROJECT_BINARY_DIR}/mervo-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/mervo-cli
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
  ${PROJECT_BINARY_DIR}/changelog.Debian.gz DESTINATION ${MERVO_DOC_CLI} COMPONENT cli)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples DESTINATION ${MERVO_DOC_CLI}
  USE_SOURCE_PERMISSIONS COMPONENT cli)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME mervo-cli COMPONENT cli)

# mervo-controller-sim
if(TARGET mervo-controller-sim)
  mervo_install_program(mervo-controller-sim sim)
  install(FILES ${PROJECT_BINARY_DIR}/mervo-controller-sim.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${MERVO_DOC_SIM} COMPONENT sim)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME mervo-controller-sim COMPONENT sim)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mervo-cli)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MERVO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MERVO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MERVO_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli sim)

# Each package depends on the packages of the libraries its program loads
# (dpkg-shlibdeps agrees, and tests/package checks that it still does). The
# version floors are the ones dpkg-shlibdeps derives, except libcurl4 and
# libzip4: the versions the tool is tested with.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME mervo-cli)
set(CPACK_COMPONENT_CLI_DESCRIPTION "service tool for the VESTRA-4 DALI lighting gateway controller
mervo-cli reads the controller's status, backs its configuration up to a zip
file and restores it, sets up DALI channels from CSV files or .xlsx workbooks
and pushes new firmware, over HTTP and TFTP.")
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS
  "libbz2-1.0, libc6 (>= 2.34), libcsv3 (>= 3.0.3), libcurl4 (>= 7.88), libexpat1 (>= 2.0.1), libgcc-s1 (>= 3.0), liblzma5 (>= 5.1.1alpha+20120614), libstdc++6 (>= 9), libxlsxwriter4 (>= 1.1.4), libzip4 (>= 1.7.3), zlib1g (>= 1:1.1.4)")
set(CPACK_DEBIAN_CLI_PACKAGE_SUGGESTS mervo-controller-sim)

set(CPACK_DEBIAN_SIM_PACKAGE_NAME mervo-controller-sim)
set(CPACK_COMPONENT_SIM_DESCRIPTION "simulated VESTRA-4 controller for rehearsing mervo-cli jobs
mervo-controller-sim plays a VESTRA-4 DALI lighting gateway controller on
this machine: its web interface and its TFTP server on one port, with fault
modes that rehearse what goes wrong in the field. For offline rehearsal,
demonstrations and tests of mervo-cli.")
# The mervo-cli package of 0.4 held the simulator too: its file moves here.
set(CPACK_DEBIAN_SIM_PACKAGE_BREAKS "mervo-cli (<< 0.4-1)")
set(CPACK_DEBIAN_SIM_PACKAGE_REPLACES "mervo-cli (<< 0.4-1)")
# tftpd-hpa: the simulator runs its in.tftpd for the TFTP side.
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
  "libarchive13 (>= 3.5.0), libc6 (>= 2.34), libcpp-httplib0.11 (>= 0.11.4+ds), libgcc-s1 (>= 3.0), libssl3 (>= 3.0.0), libstdc++6 (>= 11), tftpd-hpa")
include(CPack)
