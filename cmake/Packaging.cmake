# What `cmake --install` puts in place, and the packages CPack makes of it: a .deb on Linux (the
# binary, the udev rule, the manual page, the copyright), a .zip on Windows (the executable,
# the README and the licence), and on Windows an installer too (the msi target, with wixl).
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
  # Beside the zip, an installer per architecture; their UpgradeCodes never change, so that a
  # newer one replaces an older one in place.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
    set(ZENDROCAST_MSI_ARCH x64)
    set(ZENDROCAST_MSI_UPGRADE_CODE 810EC290-4B36-46BE-A965-9C6D7A0D1FB1)
    set(ZENDROCAST_MSI_COMPONENT B7C9FA62-0288-4739-A068-7C4717383E83)
    set(ZENDROCAST_MSI_PROGRAM_FILES ProgramFiles64Folder)
    set(ZENDROCAST_MSI_WIN64 yes)
  else()
    set(CPACK_SYSTEM_NAME win32)
    set(ZENDROCAST_MSI_ARCH x86)
    set(ZENDROCAST_MSI_UPGRADE_CODE D8194151-6FB4-4C86-B4F6-1D9FB10EE595)
    set(ZENDROCAST_MSI_COMPONENT 4E6AFF86-EEDB-4C3F-AC7D-7D8FB048B313)
    set(ZENDROCAST_MSI_PROGRAM_FILES ProgramFilesFolder)
    set(ZENDROCAST_MSI_WIN64 no)
  endif()
  set(ZENDROCAST_MSI_PLATFORM ${ZENDROCAST_MSI_ARCH})
  include(CPack)
  find_program(ZENDROCAST_WIXL wixl)
  find_program(ZENDROCAST_MSIBUILD msibuild)
  if(ZENDROCAST_WIXL AND ZENDROCAST_MSIBUILD)
    set(msi zendrocast-${PROJECT_VERSION}-${ZENDROCAST_MSI_ARCH}.msi)
    # The bridge, built where the POSIX thread model is (the tests' build), for the 64-bit
    # installer: zendrocast-mqtt.exe as a service that runs as LocalService, starts by hand until
    # a configuration exists, and is restarted after a failure (not after exit status 2, which the
    # bridge reports as the service's own exit code, not as a crash). An upgrade leaves it as it
    # found it: running (the new version) or stopped.
    set(ZENDROCAST_MQTT_EXE "" CACHE FILEPATH "zendrocast-mqtt.exe for the 64-bit installer")
    set(ZENDROCAST_MSI_BRIDGE "")
    set(ZENDROCAST_MSI_BRIDGE_DATA "")
    set(ZENDROCAST_MSI_BRIDGE_REFS "")
    set(ZENDROCAST_MSI_BRIDGE_BINARY "")
    set(bridge_commands)
    set(bridge_depends)
    if(ZENDROCAST_MQTT_EXE AND CMAKE_SIZEOF_VOID_P EQUAL 8)
      configure_file(${ZENDROCAST_MQTT_EXE} ${CMAKE_BINARY_DIR}/zendrocast-mqtt.exe COPYONLY)
      configure_file(packaging/mqtt-windows.conf ${CMAKE_BINARY_DIR}/mqtt.conf.example COPYONLY)
      # Whether the service ran before an upgrade, which the installer cannot tell by itself.
      add_library(zendrocast_msi_actions SHARED packaging/MsiActions.cpp)
      set_target_properties(zendrocast_msi_actions PROPERTIES PREFIX "" OUTPUT_NAME
                                                                        zendrocast-msi-actions)
      # -lmsi: "msi" alone would name the installer's own target.
      target_link_libraries(zendrocast_msi_actions PRIVATE -lmsi advapi32)
      target_link_options(zendrocast_msi_actions PRIVATE -static -s)
      set(ZENDROCAST_MSI_BRIDGE [=[
          <Component Id="Bridge" Guid="5F0C3E1A-8D2B-4C6E-9A71-3B5D2E8F4C90" Win64="yes">
            <File Id="BridgeExe" Name="zendrocast-mqtt.exe" Source="zendrocast-mqtt.exe"
                  KeyPath="yes"/>
            <ServiceInstall Id="BridgeService" Name="zendrocast-mqtt"
                            DisplayName="zendrocast MQTT bridge"
                            Description="Puts this machine's zendrocast boxes on an MQTT broker"
                            Type="ownProcess" Start="demand" ErrorControl="normal"
                            Account="NT AUTHORITY\LocalService"/>
            <ServiceControl Id="BridgeControl" Name="zendrocast-mqtt" Stop="both"
                            Remove="uninstall" Wait="yes"/>
            <RegistryKey Root="HKLM"
                         Key="SYSTEM\CurrentControlSet\Services\EventLog\Application\zendrocast-mqtt">
              <RegistryValue Name="EventMessageFile" Type="string" Value="[#BridgeExe]"/>
              <RegistryValue Name="TypesSupported" Type="integer" Value="7"/>
            </RegistryKey>
          </Component>]=])
      set(ZENDROCAST_MSI_BRIDGE_DATA [=[
      <Directory Id="CommonAppDataFolder">
        <Directory Id="DATADIR" Name="zendrocast">
          <Component Id="BridgeExample" Guid="A3E1D7C2-6B84-4F19-8E25-C07D9B3A6E41" Win64="yes">
            <File Id="BridgeExample" Name="mqtt.conf.example" Source="mqtt.conf.example"
                  KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>]=])
      set(ZENDROCAST_MSI_BRIDGE_REFS [=[
      <ComponentRef Id="Bridge"/>
      <ComponentRef Id="BridgeExample"/>]=])
      set(ZENDROCAST_MSI_BRIDGE_BINARY [=[
    <Binary Id="BridgeActions" SourceFile="zendrocast-msi-actions.dll"/>]=])
      # wixl has no custom actions in a folder: three deferred ones that run sc.exe as the system
      # (3170: an executable in a folder, deferred, not impersonated, its status ignored), after
      # the service is installed; the last starts it again only where it ran before the upgrade,
      # which an immediate action of the DLL notes before the old version goes (65: a function
      # of a DLL in the Binary table, its status ignored).
      set(sc "\"[System64Folder]sc.exe\"")
      set(bridge_commands
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('BridgeRestarts', 3170, 'INSTALLDIR', '${sc} failure zendrocast-mqtt reset= 86400 actions= restart/5000/restart/10000/restart/60000')"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('BridgeAutoStart', 3170, 'INSTALLDIR', '\"[System64Folder]cmd.exe\" /c if exist \"[DATADIR]mqtt.conf\" ${sc} config zendrocast-mqtt start= delayed-auto')"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('BridgeRestarts', 'NOT REMOVE', 5810)"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('BridgeAutoStart', 'NOT REMOVE', 5820)"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('BridgeRemember', 65, 'BridgeActions', 'RememberBridge')"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('BridgeRemember', 1395)"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('BridgeStartAgain', 3170, 'INSTALLDIR', '${sc} start zendrocast-mqtt')"
          COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                  "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('BridgeStartAgain', 'BRIDGE_WAS_RUNNING AND NOT REMOVE', 5910)")
      set(bridge_depends ${ZENDROCAST_MQTT_EXE} ${PROJECT_SOURCE_DIR}/packaging/mqtt-windows.conf
                         zendrocast_msi_actions)
    endif()
    # wixl takes files by paths relative to where it runs.
    configure_file(packaging/zendrocast.wxs.in ${CMAKE_BINARY_DIR}/zendrocast.wxs @ONLY)
    configure_file(README.md ${CMAKE_BINARY_DIR}/README.md COPYONLY)
    configure_file(LICENSE ${CMAKE_BINARY_DIR}/LICENSE COPYONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${msi}
                       COMMAND ${ZENDROCAST_WIXL} -a ${ZENDROCAST_MSI_ARCH} -o ${msi} zendrocast.wxs
                       # The folder on the system PATH (appended, removed again by msiexec /x),
                       # which wixl cannot say.
                       COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -i
                               ${PROJECT_SOURCE_DIR}/packaging/zendrocast-path.idt
                       COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                               "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)"
                       COMMAND ${ZENDROCAST_MSIBUILD} ${msi} -q
                               "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
                       ${bridge_commands}
                       DEPENDS zendrocast ${CMAKE_BINARY_DIR}/zendrocast.wxs ${bridge_depends}
                               ${PROJECT_SOURCE_DIR}/packaging/zendrocast-path.idt
                       WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM
                       COMMENT "Making the installer ${msi}")
    add_custom_target(msi DEPENDS ${CMAKE_BINARY_DIR}/${msi})
  endif()
  return()
endif()

# Two packages on Linux: zendrocast (the tool) and, where it is built, zendrocast-mqtt (the
# bridge), each from its install component.
install(TARGETS zendrocast RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES packaging/70-zendrocast.rules DESTINATION lib/udev/rules.d COMPONENT tool)
install(FILES packaging/zendrocast.sysusers DESTINATION lib/sysusers.d RENAME zendrocast.conf
        COMPONENT tool)

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
install(FILES ${ZENDROCAST_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES packaging/copyright README.md ${ZENDROCAST_CHANGELOG_GZ}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zendrocast COMPONENT tool)
set(CPACK_COMPONENTS_ALL tool)

if(ZENDROCAST_MQTT_BUILT)
  install(TARGETS zendrocast-mqtt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mqtt)
  install(FILES ${ZENDROCAST_MQTT_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT mqtt)
  install(FILES packaging/zendrocast-mqtt.service DESTINATION lib/systemd/system COMPONENT mqtt)
  install(FILES packaging/copyright doc/bridge.md ${ZENDROCAST_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zendrocast-mqtt COMPONENT mqtt)
  install(FILES packaging/mqtt.conf
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zendrocast-mqtt/examples COMPONENT mqtt)
  if(ZENDROCAST_PAGE_DIR)
    install(DIRECTORY ${ZENDROCAST_PAGE_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/zendrocast-mqtt/www
            COMPONENT mqtt)
  endif()
  list(APPEND CPACK_COMPONENTS_ALL mqtt)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zendrocast)
set(CPACK_DEBIAN_MQTT_PACKAGE_NAME zendrocast-mqtt)
set(CPACK_DEBIAN_TOOL_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_MQTT_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_MQTT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
# The bridge's: an upgrade restarts a bridge that runs, a removal stops it.
set(CPACK_DEBIAN_MQTT_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/mqtt/postinst
                                            ${PROJECT_SOURCE_DIR}/packaging/mqtt/prerm)
# Each package's summary is its description's first line. CPack would put the one project-wide
# summary above both, unless that summary is its own default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "${PROJECT_DESCRIPTION}
zendrocast finds the USB HID box controller 6666:f100 and writes one command
to it ten times, tracing every system call on standard output. It lists the
HID interfaces with --list and picks one of several boxes with --serial or
--path. The udev rule lets the user at the seat open the box without root,
and links each box by its serial and its USB port.")
set(CPACK_COMPONENT_MQTT_DESCRIPTION "puts USB HID box controllers on an MQTT broker
zendrocast-mqtt offers the box controllers of this machine on an MQTT broker
(Mosquitto, say), for home automation or a fleet server: each command is a
run of zendrocast for its box, and its result comes back as JSON. It finds
boxes as they are plugged in, announces them to Home Assistant, and runs as a
sandboxed systemd service.")
set(CPACK_DEBIAN_MQTT_PACKAGE_DEPENDS "zendrocast (= ${PROJECT_VERSION})")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZENDROCAST_DEB_ARCHITECTURE})
  set(CPACK_ZENDROCAST_OBJDUMP ${CMAKE_OBJDUMP})
  set(CPACK_ZENDROCAST_BINARY ${CMAKE_BINARY_DIR}/zendrocast)
  set(CPACK_ZENDROCAST_MQTT_BINARY ${CMAKE_BINARY_DIR}/zendrocast-mqtt)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackCrossDepends.cmake)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
