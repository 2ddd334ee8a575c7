# Debian packages from the release build: `cpack -G DEB` in the build folder writes
#   libmivoble1     the shared library (component runtime)
#   libmivoble-dev  header, CMake package, pkg-config file, unversioned link (development)
#   mivoble-tools   the command-line tool and the fake bluetoothd (tools)
# dpkg-shlibdeps finds the dependencies; every package carries its copyright and changelog.
set(MIVOBLE_DEB_COMPONENTS runtime development tools)
set(MIVOBLE_DEB_NAMES libmivoble1 libmivoble-dev mivoble-tools)
set(MIVOBLE_MAINTAINER "The mivoble developers <dev@mivoble.invalid>")

foreach(component package IN ZIP_LISTS MIVOBLE_DEB_COMPONENTS MIVOBLE_DEB_NAMES)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  set(PKG ${package})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in
                 ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.Debian @ONLY)
  # Debian wants it compressed at the highest level, without a timestamp.
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.Debian)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME mivoble)
set(CPACK_PACKAGE_VENDOR "The mivoble developers")
set(CPACK_PACKAGE_CONTACT "${MIVOBLE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Each component's description brings its own synopsis line: no shared summary is prepended.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MIVOBLE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://mivoble.invalid/")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libmivoble1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Policy wants the ldconfig trigger; CPack adds its own ldconfig calls to postinst/postrm.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "host library for Bluetooth LE EEG amplifiers
libmivoble scans for battery-powered EEG amplifiers over Bluetooth Low
Energy, opens them by serial number, streams their samples as rows of
floats, reconnects on its own after radio drop-outs, sends command frames
and manages firmware images over SMP. It reaches the radio through BlueZ
or a simulated radio.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmivoble-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libmivoble1 (= ${PROJECT_VERSION}-1)")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "host library for Bluetooth LE EEG amplifiers - development files
The C header, the CMake package (find_package(mivoble) giving the target
mivoble::mivoble), the pkg-config file and the unversioned link of
libmivoble, for building host programs against it.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME mivoble-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libmivoble1 (= ${PROJECT_VERSION}-1)")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tools for Bluetooth LE EEG amplifiers
mivoble scans, inspects, streams, records to EDF+/BDF+ and updates the
firmware of amplifiers from the command line. mivoble-fake-bluetoothd
serves simulated amplifiers through BlueZ's D-Bus interface, to try
BlueZ clients without hardware.")

# The tools link libmivoble from this build: dpkg-shlibdeps looks for it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})

include(CPack)
