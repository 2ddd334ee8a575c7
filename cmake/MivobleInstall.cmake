# Install rules: the shared library with its links, the public header, a CMake package
# (find_package(mivoble CONFIG) -> mivoble::mivoble), a pkg-config file, the tools that this
# build has, and the documentation. Components name the Debian package each file goes to.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MIVOBLE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mivoble)
set(MIVOBLE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)

target_include_directories(mivoble INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS mivoble EXPORT mivobleTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)
install(TARGETS mivoble
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development NAMELINK_ONLY)
install(DIRECTORY include/mivoble DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT mivobleTargets NAMESPACE mivoble:: DESTINATION ${MIVOBLE_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/mivobleConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/mivobleConfig.cmake
                              INSTALL_DESTINATION ${MIVOBLE_CMAKE_DIR})
# One ABI per major version: 1.x callers build against any 1.y with y >= x.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/mivobleConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/mivobleConfig.cmake ${CMAKE_BINARY_DIR}/mivobleConfigVersion.cmake
        DESTINATION ${MIVOBLE_CMAKE_DIR} COMPONENT development)

configure_file(${CMAKE_CURRENT_LIST_DIR}/mivoble.pc.in ${CMAKE_BINARY_DIR}/mivoble.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/mivoble.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# The command-line tool and the fake bluetoothd, where this build has them.
foreach(tool IN ITEMS mivoble_cli mivoble-fake-bluetoothd)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

# Documentation, per package as Debian lays it out: /usr/share/doc/<package>/.
install(FILES README.md DESTINATION ${MIVOBLE_DOC_DIR}/libmivoble-dev COMPONENT development)
install(DIRECTORY docs/ DESTINATION ${MIVOBLE_DOC_DIR}/libmivoble-dev COMPONENT development
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
