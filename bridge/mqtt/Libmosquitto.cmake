# libmosquitto, compiled with the bridge for whichever system the build targets, from Debian's
# source with libmosquitto-journal.patch applied (scripts/libmosquitto.sh unpacks it): the
# bridge's journal takes a QoS 2 command before its PUBREC leaves, and writes a read's commands
# through once before their acknowledgements leave, which the library as released gives no way
# to do. OpenSSL is the system's (a cross build's from multiarch) on Linux and the
# static build of scripts/windows-deps.sh on Windows. Sets ZENDROCAST_MOSQUITTO_FOUND.
set(ZENDROCAST_MOSQUITTO_SOURCE ${PROJECT_SOURCE_DIR}/build-deps/mosquitto-2.0.11
    CACHE PATH "libmosquitto's source with the bridge's patch (scripts/libmosquitto.sh)")
set(ZENDROCAST_MOSQUITTO_FOUND OFF)
set(source ${ZENDROCAST_MOSQUITTO_SOURCE})
if(NOT EXISTS ${source}/lib/handle_publish.c)
  message(WARNING "no libmosquitto source in ${source} (bash scripts/libmosquitto.sh): "
                  "zendrocast-mqtt is not built")
  return()
endif()
file(STRINGS ${source}/lib/net_mosq.h patched REGEX "net__read_pending")  # its latest part
if(NOT patched)
  message(FATAL_ERROR "${source} lacks the bridge's patch (bash scripts/libmosquitto.sh)")
endif()

if(WIN32)
  set(deps ${ZENDROCAST_WIN_DEPS}/x86_64)
  set(ssl_include ${deps}/include)
  set(ssl_libraries ${deps}/lib/libssl.a ${deps}/lib/libcrypto.a ws2_32 crypt32 bcrypt user32
                    advapi32)
else()
  find_path(ssl_include openssl/ssl.h HINTS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  find_library(ssl_library ssl HINTS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
               NO_CMAKE_FIND_ROOT_PATH)
  find_library(crypto_library crypto HINTS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
               NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ssl_include OR NOT ssl_library OR NOT crypto_library)
    message(WARNING "OpenSSL not found (apt-get install libssl-dev): zendrocast-mqtt is not built")
    return()
  endif()
  # A cross build's opensslconf.h is in the target's multiarch folder.
  set(ssl_include ${ssl_include} /usr/include/${CMAKE_LIBRARY_ARCHITECTURE})
  set(ssl_libraries ${ssl_library} ${crypto_library})
endif()

enable_language(C)
file(GLOB mosquitto_sources ${source}/lib/*.c)
add_library(zendrocast_mosquitto STATIC ${mosquitto_sources})
target_compile_definitions(zendrocast_mosquitto PRIVATE WITH_TLS WITH_TLS_PSK WITH_EC WITH_THREADING
                           VERSION="2.0.11" PUBLIC LIBMOSQUITTO_STATIC)
target_include_directories(zendrocast_mosquitto PRIVATE ${source} ${source}/lib ${source}/deps
                           ${ssl_include}
                           PUBLIC ${source}/include)
# Its own code, as Debian builds it: its warnings are not this project's to mend.
target_compile_options(zendrocast_mosquitto PRIVATE -w)
target_link_libraries(zendrocast_mosquitto PUBLIC ${ssl_libraries} Threads::Threads)
set(ZENDROCAST_MOSQUITTO_FOUND ON)
