# What `cmake --install` puts in place: the headers under
# include/qbsocks32, libQBSocks32 and libqbafx, a CMake package
# (find_package(QBSocks32) -> QBSocks32::QBSocks32, which brings
# QBSocks32::qbafx along) and the pkg-config file qbsocks32.pc. All of it
# is the install component QBSocks32, so that it can be installed alone:
#   cmake --install <build> --component QBSocks32 --prefix <prefix>
include(CMakePackageConfigHelpers)

set(QBSOCKS_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qbsocks32)
set(QBSOCKS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QBSocks32)
set(QBSOCKS_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS qbafx QBSocks32
  EXPORT QBSocks32Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT QBSocks32
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT QBSocks32
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT QBSocks32)

install(FILES
  ${PROJECT_SOURCE_DIR}/proxy_socket/CSocks.h
  ${PROJECT_SOURCE_DIR}/module/QBSocks32.h
  ${PROJECT_SOURCE_DIR}/platform/include/afxsock.h
  ${PROJECT_SOURCE_DIR}/platform/include/afxdll.h
  ${PROJECT_SOURCE_DIR}/platform/include/win32.h
  DESTINATION ${QBSOCKS_INSTALL_INCLUDEDIR}
  COMPONENT QBSocks32)

install(EXPORT QBSocks32Targets
  NAMESPACE QBSocks32::
  DESTINATION ${QBSOCKS_INSTALL_CMAKEDIR}
  COMPONENT QBSocks32)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/QBSocks32Config.cmake.in
  ${PROJECT_BINARY_DIR}/QBSocks32Config.cmake
  INSTALL_DESTINATION ${QBSOCKS_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/QBSocks32ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/QBSocks32Config.cmake
  ${PROJECT_BINARY_DIR}/QBSocks32ConfigVersion.cmake
  DESTINATION ${QBSOCKS_INSTALL_CMAKEDIR}
  COMPONENT QBSocks32)

# The .pc file finds the prefix from its own place, so that an install
# with `cmake --install --prefix` anywhere else still works.
file(RELATIVE_PATH QBSOCKS_PC_TO_PREFIX
  /prefix/${QBSOCKS_INSTALL_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" QBSOCKS_PC_TO_PREFIX "${QBSOCKS_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/qbsocks32.pc.in
  ${PROJECT_BINARY_DIR}/qbsocks32.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qbsocks32.pc
  DESTINATION ${QBSOCKS_INSTALL_PKGCONFIGDIR}
  COMPONENT QBSocks32)
