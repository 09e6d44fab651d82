# Installs the library as a C library is expected to be found: the header, the shared object
# with its SONAME link, a CMake package exporting OvraHelper::OvraHelper, and OvraHelper.pc.
include(CMakePackageConfigHelpers)

set(OVRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OvraHelper)

install(TARGETS OvraHelper EXPORT OvraHelperTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development)
install(FILES include/OvraHelper.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT OvraHelperTargets NAMESPACE OvraHelper:: DESTINATION ${OVRA_CMAKE_DIR}
  COMPONENT Development)

configure_package_config_file(cmake/OvraHelperConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OvraHelperConfig.cmake INSTALL_DESTINATION ${OVRA_CMAKE_DIR})
# A new major version is a new ABI (and a new SONAME).
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OvraHelperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OvraHelperConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/OvraHelperConfigVersion.cmake
  DESTINATION ${OVRA_CMAKE_DIR} COMPONENT Development)

# The .pc file finds its prefix from where it lies, so a copy installed with --prefix elsewhere
# (or moved) still points at its own header and library.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(OVRA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(OVRA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH OVRA_PC_UP /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" OVRA_PC_UP "${OVRA_PC_UP}")
  set(OVRA_PC_PREFIX "\${pcfiledir}/${OVRA_PC_UP}")
  set(OVRA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(OVRA_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(OVRA_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(cmake/OvraHelper.pc.in ${CMAKE_CURRENT_BINARY_DIR}/OvraHelper.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OvraHelper.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
