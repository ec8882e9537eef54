# Read by cpack for a cross build: dpkg-shlibdeps reads only this machine's own libraries, so
# the packages' C library dependency is the newest GLIBC_ symbol version the binaries import,
# and the bridge's OpenSSL dependency is that of the libssl it linked (libmosquitto is inside).
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_ZENDROCAST_OBJDUMP)
  set(binaries ${CPACK_ZENDROCAST_BINARY})
  if(EXISTS ${CPACK_ZENDROCAST_MQTT_BINARY})
    list(APPEND binaries ${CPACK_ZENDROCAST_MQTT_BINARY})
  endif()
  execute_process(COMMAND ${CPACK_ZENDROCAST_OBJDUMP} -T ${binaries}
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
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6 (>= ${newest})")
  set(CPACK_DEBIAN_MQTT_PACKAGE_DEPENDS
      "${CPACK_DEBIAN_MQTT_PACKAGE_DEPENDS}, libc6 (>= ${newest}), libssl3 (>= 3.0.0)")
endif()
