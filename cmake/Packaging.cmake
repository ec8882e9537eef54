# What `cmake --install` puts in place, and the packages CPack makes of it: a .deb on Linux (the
# binary, the udev rule, the manual page, the copyright), a .zip on Windows (the executable,
# the README and the licence).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME zendrocast)
set(CPACK_PACKAGE_VENDOR "The zendrocast developers")
set(CPACK_PACKAGE_CONTACT "The zendrocast developers <maintainers@zendrocast.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS zendrocast RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  include(CPack)
  return()
endif()

install(TARGETS zendrocast RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/70-zendrocast.rules DESTINATION lib/udev/rules.d)

# Manual pages are installed compressed, and reproducibly so (no name or time in the header).
set(ZENDROCAST_MAN_GZ ${ZENDROCAST_GENERATED}/zendrocast.1.gz)
add_custom_command(OUTPUT ${ZENDROCAST_MAN_GZ}
                   COMMAND gzip -9n -c ${ZENDROCAST_MAN_PAGE} > ${ZENDROCAST_MAN_GZ}
                   DEPENDS ${ZENDROCAST_MAN_PAGE})
set(ZENDROCAST_CHANGELOG_GZ ${ZENDROCAST_GENERATED}/changelog.gz)
add_custom_command(OUTPUT ${ZENDROCAST_CHANGELOG_GZ}
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog >
                           ${ZENDROCAST_CHANGELOG_GZ}
                   DEPENDS packaging/changelog)
add_custom_target(zendrocast_docs ALL DEPENDS ${ZENDROCAST_MAN_GZ} ${ZENDROCAST_CHANGELOG_GZ})
install(FILES ${ZENDROCAST_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/copyright README.md ${ZENDROCAST_CHANGELOG_GZ}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary is the description's first line; CPack indents these lines below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "zendrocast finds the USB HID box controller 6666:f100 and writes one command
to it ten times, tracing every system call on standard output. It lists the
HID interfaces with --list and picks one of several boxes with --path. The
udev rule lets the user at the seat open the box without root.")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZENDROCAST_DEB_ARCHITECTURE})
  set(CPACK_ZENDROCAST_OBJDUMP ${CMAKE_OBJDUMP})
  set(CPACK_ZENDROCAST_BINARY ${CMAKE_BINARY_DIR}/zendrocast)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackCrossDepends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
