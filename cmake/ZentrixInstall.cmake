# What `cmake --install` puts where, and the Debian packages that `cpack -G DEB` makes of it:
# zentrix (the plug-in, the reference host, the public header with the files a host's build finds
# it by, the udev rule for the kernel driver's device nodes, and the examples),
# zentrix-mapping-dialog (the Qt mapping dialog), so that a headless rig never installs Qt, and
# python3-zentrix (the Python package).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZENTRIX_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/zentrix"
    CACHE STRING "Where find_package(zentrix) finds the package configuration")
# udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d, never a multiarch directory.
set(ZENTRIX_INSTALL_UDEVRULESDIR "lib/udev/rules.d"
    CACHE STRING "Where the udev rule for the IO-Warrior device nodes goes")

# Everything but the mapping dialog goes into the zentrix package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME zentrix)

install(TARGETS zentrix zentrix_headers EXPORT zentrixTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentrix)
install(TARGETS zentrix_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The mapping dialog, which the plug-in loads from its own directory; no host links it.
if(TARGET zentrix_mapping_qt)
  install(TARGETS zentrix_mapping_qt LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT mapping_dialog)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/host/ZentrixInterface.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zentrix)

install(EXPORT zentrixTargets NAMESPACE zentrix:: DESTINATION ${ZENTRIX_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zentrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zentrixConfig.cmake
  INSTALL_DESTINATION ${ZENTRIX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zentrixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zentrixConfig.cmake
              ${PROJECT_BINARY_DIR}/zentrixConfigVersion.cmake
  DESTINATION ${ZENTRIX_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from where it lies, so the tree can be installed or unpacked
# anywhere (a staging root, a package, --prefix).
file(RELATIVE_PATH ZENTRIX_PC_PREFIX_FROM_PCFILEDIR
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZENTRIX_PC_PREFIX_FROM_PCFILEDIR "${ZENTRIX_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zentrix.pc.in ${PROJECT_BINARY_DIR}/zentrix.pc.genex @ONLY)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/zentrix.pc
  INPUT ${PROJECT_BINARY_DIR}/zentrix.pc.genex)
install(FILES ${PROJECT_BINARY_DIR}/zentrix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/resources/60-zentrix-iowarrior.rules
  DESTINATION ${ZENTRIX_INSTALL_UDEVRULESDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME zentrix)
set(CPACK_PACKAGE_VENDOR "Zentrix")
set(CPACK_PACKAGE_CONTACT "Zentrix developers <dev@zentrix.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_ZENTRIX_PACKAGE_NAME zentrix)
# Each description's first line is its package's summary.
set(CPACK_DEBIAN_ZENTRIX_DESCRIPTION
    "hardware-interface plug-in for behavioural experiments on IO-Warrior 56 boxes
Zentrix is an in-process component that a host application for behavioural experiments loads
to reach lab hardware wired to USB IO boxes (IO-Warrior 56 controllers with port expanders):
it describes the hardware, sends commands, samples signals and keeps the port-to-device mapping.
The package holds the plug-in, the reference host zentrix, the public header with its
pkg-config and CMake package files, a udev rule that gives users access to the boxes through
the iowarrior kernel driver, and example files. The mapping dialog is in
zentrix-mapping-dialog.")
# CPack's own shlibs generation would warn about the dialog module, which has no SONAME on
# purpose, so the plug-in's shlibs file is written here; CPack adds the ldconfig calls itself.
file(WRITE ${PROJECT_BINARY_DIR}/debian/zentrix/shlibs
     "libzentrix ${PROJECT_VERSION_MAJOR} zentrix (= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_ZENTRIX_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/zentrix/shlibs)

set(CPACK_DEBIAN_MAPPING_DIALOG_PACKAGE_NAME ${ZENTRIX_MAPPING_DIALOG_PACKAGE})
set(CPACK_DEBIAN_MAPPING_DIALOG_DESCRIPTION
    "Qt mapping dialog for the Zentrix hardware-interface plug-in
The window in which a user maps the ports of the IO boxes to devices, which the Zentrix
plug-in loads from its own directory when a host asks it to show the mapping. Without this
package the plug-in shows no dialog and says so in its log.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zentrix)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${ZENTRIX_PYTHON_DEPENDS}")
# zentrix.plot draws with matplotlib; zentrix.session gives data frames when pandas is there.
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-matplotlib)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-pandas)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
    "Python package for experiments with the Zentrix plug-in
The zentrix module drives the Zentrix hardware-interface plug-in from Python task scripts:
its boxes, devices, commands and signals, typed values and running totals, and the
timestamped events of its event interface. zentrix.session reads the session folders that
zentrix record writes, and zentrix.plot draws a session's timeline.")

set(CPACK_COMPONENTS_ALL zentrix)
if(TARGET zentrix_mapping_qt)
  list(APPEND CPACK_COMPONENTS_ALL mapping_dialog)
endif()
if(TARGET zentrix_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
include(CPack)
cpack_add_component(zentrix)
cpack_add_component(mapping_dialog DEPENDS zentrix)
cpack_add_component(python DEPENDS zentrix)
