# What `cmake --install` puts in place, in four install components that
# are also the four Debian packages (packaging/QBSocks32Packaging.cmake):
#   qbafx        libqbafx.so.1, the class library (qbafx.dll on Windows)
#   QBSocks32    libQBSocks32.so.1, the library (QBSocks32.dll)
#   qbsocks      libqbsocks.so.1, the C interface (qbsocks.dll), which
#                carries CSocks and the class library inside it
#   development  the headers under include/qbsocks32 and, in a folder of its
#                own beside no class-library header, include/qbsocks/qbsocks.h;
#                the .so links (import
#                libraries on Windows), a CMake package
#                (find_package(QBSocks32) -> QBSocks32::QBSocks32, which
#                brings QBSocks32::qbafx along, and QBSocks32::qbsocks), the
#                pkg-config files qbsocks32.pc and qbsocks.pc, qbsocks32(3)
#                and qbsocks(3)
#   tools        qbsocks-reg and qbsocks-cat with their manual pages
#                (tools/CMakeLists.txt, man/CMakeLists.txt)
#   python       the package qbsocks, the Python binding of the C interface,
#                with its metadata (Linux)
# `cmake --install <build> --prefix <prefix>` installs them all.
include(CMakePackageConfigHelpers)

set(QBSOCKS_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qbsocks32)
# The C interface's folder holds qbsocks.h alone: a host that has an
# afxsock.h of its own (MFC's) can put it on its include path.
set(QBSOCKS_C_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qbsocks)
set(QBSOCKS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QBSocks32)
set(QBSOCKS_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Each library in its own component, its .so link (or import library) in
# the development one, as Debian splits a library.
set(qbsocks_exported_libraries qbafx QBSocks32)
if(NOT WIN32)
  list(APPEND qbsocks_exported_libraries qbsocks)
endif()
# The headers are the libraries' own (their HEADERS file sets).
set(qbafx_include_destination ${QBSOCKS_INSTALL_INCLUDEDIR})
set(QBSocks32_include_destination ${QBSOCKS_INSTALL_INCLUDEDIR})
set(qbsocks_include_destination ${QBSOCKS_C_INSTALL_INCLUDEDIR})
foreach(library IN LISTS qbsocks_exported_libraries)
  install(TARGETS ${library}
    EXPORT QBSocks32Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${library} NAMELINK_COMPONENT development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${library}
    FILE_SET HEADERS DESTINATION ${${library}_include_destination} COMPONENT development)
endforeach()
install(TARGETS csocks_headers FILE_SET HEADERS DESTINATION ${QBSOCKS_INSTALL_INCLUDEDIR}
  COMPONENT development)
if(WIN32)
  # qbsocks.dll with the import libraries made from its .def, not ld's
  # (capi/CMakeLists.txt); Windows hosts link those files, as from the kit.
  install(TARGETS qbsocks RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT qbsocks
    FILE_SET HEADERS DESTINATION ${QBSOCKS_C_INSTALL_INCLUDEDIR} COMPONENT development)
  install(FILES ${PROJECT_BINARY_DIR}/capi/libqbsocks.dll.a ${PROJECT_BINARY_DIR}/capi/qbsocks.lib
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()


if(NOT WIN32)
  # The Python binding (ctypes over libqbsocks.so.1, nothing compiled): the
  # package qbsocks (py.typed) and its metadata, as pip installs them
  # (bindings/python/CMakeLists.txt). The Debian package puts it where
  # Debian's python3 looks; any other install where the Python CMake found
  # looks for modules of the install prefix (install_package.cmake there).
  # (A name apart from the fixed place's older QBSOCKS_INSTALL_PYTHONDIR,
  # which build folders configured before keep in their caches.)
  set(QBSOCKS_INSTALL_PYTHON_SITE "" CACHE STRING
    "Where the package qbsocks is installed, relative to the prefix (empty: where the Python found looks)")
  set(python_site ${QBSOCKS_INSTALL_PYTHON_SITE})
  if(QBSOCKS_DEBIAN_PACKAGES AND NOT python_site)
    set(python_site lib/python3/dist-packages)
  endif()
  if(python_site)
    install(DIRECTORY ${QBSOCKS_PYTHON_UNPACKED}/ DESTINATION ${python_site} COMPONENT python)
  else()
    install(CODE "set(PYTHON [[${QBSOCKS_PYTHON}]])
      set(UNPACKED [[${QBSOCKS_PYTHON_UNPACKED}]])
      set(LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])" COMPONENT python)
    install(SCRIPT ${PROJECT_SOURCE_DIR}/bindings/python/install_package.cmake COMPONENT python)
  endif()
endif()

install(EXPORT QBSocks32Targets
  NAMESPACE QBSocks32::
  DESTINATION ${QBSOCKS_INSTALL_CMAKEDIR}
  COMPONENT development)

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
  COMPONENT development)

# The .pc file finds the prefix from its own place, so that an install
# with `cmake --install --prefix` anywhere else still works.
file(RELATIVE_PATH QBSOCKS_PC_TO_PREFIX
  /prefix/${QBSOCKS_INSTALL_PKGCONFIGDIR} /prefix)
string(REGEX REPLACE "/$" "" QBSOCKS_PC_TO_PREFIX "${QBSOCKS_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/qbsocks32.pc.in
  ${PROJECT_BINARY_DIR}/qbsocks32.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qbsocks.pc.in
  ${PROJECT_BINARY_DIR}/qbsocks.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qbsocks32.pc ${PROJECT_BINARY_DIR}/qbsocks.pc
  DESTINATION ${QBSOCKS_INSTALL_PKGCONFIGDIR}
  COMPONENT development)
