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

# Their manual pages, made at build time by help2man (Debian package help2man) from each
# tool's --help and --version (cmake/MivobleManPage.cmake adds the subcommands, examples and
# packaging/man/<tool>.h2m), for the same package as the tools.
set(MIVOBLE_MAN_TOOLS mivoble_cli mivoble-fake-bluetoothd)
set(MIVOBLE_MAN_NAMES mivoble mivoble-fake-bluetoothd)
set(MIVOBLE_MAN_SUMMARIES "scan, inspect, stream, record and flash mivo EEG amplifiers"
                          "serve simulated EEG amplifiers through BlueZ's D-Bus interface")
if(MIVOBLE_BUILD_MAN)
  find_program(MIVOBLE_HELP2MAN help2man REQUIRED)
  foreach(tool name summary IN ZIP_LISTS MIVOBLE_MAN_TOOLS MIVOBLE_MAN_NAMES MIVOBLE_MAN_SUMMARIES)
    if(NOT TARGET ${tool})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${name}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${MIVOBLE_HELP2MAN} -DTOOL=$<TARGET_FILE:${tool}> -DNAME=${name}
              -DSUMMARY=${summary} -DINCLUDE=${CMAKE_SOURCE_DIR}/packaging/man/${name}.h2m
              -DWORK=${CMAKE_BINARY_DIR}/man/${name} -DOUTPUT=${page}
              -P ${CMAKE_SOURCE_DIR}/cmake/MivobleManPage.cmake
      DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/cmake/MivobleManPage.cmake ${CMAKE_SOURCE_DIR}/packaging/man/${name}.h2m
      COMMENT "Manual page of ${name} (help2man)" VERBATIM)
    add_custom_target(${name}-man ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endforeach()
endif()

# Documentation, per package as Debian lays it out: /usr/share/doc/<package>/.
install(FILES README.md DESTINATION ${MIVOBLE_DOC_DIR}/libmivoble-dev COMPONENT development)
install(DIRECTORY docs/ DESTINATION ${MIVOBLE_DOC_DIR}/libmivoble-dev COMPONENT development
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.svg")
