# Read by cpack for a cross build: dpkg-shlibdeps reads only this machine's own libraries, so
# the package's C library dependency is the newest GLIBC_ symbol version the binary imports.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_ZENDROCAST_OBJDUMP)
  execute_process(COMMAND ${CPACK_ZENDROCAST_OBJDUMP} -T ${CPACK_ZENDROCAST_BINARY}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+(\\.[0-9]+)?" versions "${symbols}")
  set(newest 0)
  foreach(version IN LISTS versions)
    string(REPLACE "GLIBC_" "" version "${version}")
    if(version VERSION_GREATER newest)
      set(newest ${version})
    endif()
  endforeach()
  if(NOT status EQUAL 0 OR newest STREQUAL "0")
    message(FATAL_ERROR "no GLIBC_ symbol versions in ${CPACK_ZENDROCAST_BINARY}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
