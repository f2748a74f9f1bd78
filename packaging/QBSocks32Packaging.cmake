# The Debian packages, one per install component (cmake/QBSocks32Install.cmake):
#   libqbafx1          libqbafx.so.1, the class library
#   libqbsocks32-1     libQBSocks32.so.1, the library
#   libqbsocks1        libqbsocks.so.1, the C interface
#   libqbsocks32-dev   headers, .so links, CMake package, qbsocks32.pc, qbsocks.pc,
#                      qbsocks32(3), qbsocks(3)
#   qbsocks32-tools    qbsocks-reg, qbsocks-cat and their manual pages
#   python3-qbsocks    the package qbsocks, the Python binding of the C interface,
#                      with its metadata (qbsocks-<version>.dist-info) and py.typed
# Made by scripts/package.sh (the `package` presets): cpack --preset package.
# Dependencies on Debian's libraries come from dpkg-shlibdeps; those between
# the packages from the component dependencies below, at the exact
# version, since the libraries and their headers only come together.
set(QBSOCKS_DEB_COMPONENTS qbafx QBSocks32 qbsocks development tools python)
set(QBSOCKS_DEB_NAME_qbafx libqbafx1)
set(QBSOCKS_DEB_NAME_QBSocks32 libqbsocks32-1)
set(QBSOCKS_DEB_NAME_qbsocks libqbsocks1)
set(QBSOCKS_DEB_NAME_development libqbsocks32-dev)
set(QBSOCKS_DEB_NAME_tools qbsocks32-tools)
set(QBSOCKS_DEB_NAME_python python3-qbsocks)

# Every package carries the copyright file and the changelog where Debian
# looks for them. The changelog is compressed as policy asks, reproducibly,
# and its newest entry must be the version being packaged.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog QBSOCKS_DEB_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT QBSOCKS_DEB_CHANGELOG_TOP MATCHES "^qbsocks32 \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${QBSOCKS_DEB_CHANGELOG_TOP}\"; "
    "add an entry for ${PROJECT_VERSION} on top")
endif()
find_program(QBSOCKS_GZIP gzip REQUIRED)
set(QBSOCKS_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${QBSOCKS_DEB_CHANGELOG}
  COMMAND ${QBSOCKS_GZIP} -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${QBSOCKS_DEB_CHANGELOG}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
  VERBATIM)
add_custom_target(deb_changelog ALL DEPENDS ${QBSOCKS_DEB_CHANGELOG})
foreach(component IN LISTS QBSOCKS_DEB_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${QBSOCKS_DEB_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QBSOCKS_DEB_NAME_${component}}
    COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qbsocks32)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QBSocks32 maintainers")
set(CPACK_PACKAGE_CONTACT "Seed 10c419ea maintainers <maintainers@users.noreply.c-seed-10c419ea.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/debs)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${QBSOCKS_DEB_COMPONENTS})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the project's own libraries here, and leaves them to
# the component dependencies (they belong to no installed package yet).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/platform ${PROJECT_BINARY_DIR}/module ${PROJECT_BINARY_DIR}/capi)
# A shlibs file in each library package, and the ldconfig trigger that
# policy asks for (CPack adds only maintainer scripts that call ldconfig).
# dpkg-deb takes a control file by its name, hence the copy.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ldconfig.triggers
  ${PROJECT_BINARY_DIR}/packaging/triggers COPYONLY)
set(CPACK_DEBIAN_QBAFX_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_QBSOCKS32_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_QBSOCKS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/triggers)
# Control files 0644 whatever the umask of the checkout was.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_QBSOCKS32_DEPENDS qbafx)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS qbafx QBSocks32 qbsocks)
# qbsocks-cat connects with the C interface and relays over the class
# library's CAsyncSocket (tools/CMakeLists.txt).
set(CPACK_COMPONENT_TOOLS_DEPENDS qbafx qbsocks)
# The Python binding loads libqbsocks.so.1 with ctypes: no binary of its
# own, so one package for every architecture, and python3 by name.
set(CPACK_COMPONENT_PYTHON_DEPENDS qbsocks)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)

foreach(component IN LISTS QBSOCKS_DEB_COMPONENTS)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${QBSOCKS_DEB_NAME_${component}})
endforeach()
set(CPACK_DEBIAN_QBAFX_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_QBSOCKS32_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_QBSOCKS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)

set(QBSOCKS_DEB_ABOUT
  "QBSocks32 gives a program a TCP client socket, CSocks, that reaches its
target directly or through a SOCKS4 or SOCKS5 proxy (RFC 1928, with the
username/password method of RFC 1929), as the current user's settings say.
CSocks derives from the CSocket class of qbafx, a small class library with
the names and signatures of MFC's socket classes (not MFC itself); a C
interface hands a connected socket to C programs and other languages.")
set(CPACK_COMPONENT_QBAFX_DESCRIPTION
  "socket and module classes in the manner of MFC, for QBSocks32
${QBSOCKS_DEB_ABOUT}
.
This package holds libqbafx, the class library that QBSocks32 and its
hosts share: CAsyncSocket, CSocket, the extension-module list and the
Win32 functions the library uses, with the registry kept in a text file.")
set(CPACK_COMPONENT_QBSOCKS32_DESCRIPTION
  "TCP client socket that connects through SOCKS4 or SOCKS5 proxies
${QBSOCKS_DEB_ABOUT}
.
This package holds the shared library libQBSocks32.")
set(CPACK_COMPONENT_QBSOCKS_DESCRIPTION
  "C interface to QBSocks32: a socket connected through the SOCKS proxy
${QBSOCKS_DEB_ABOUT}
.
This package holds libqbsocks, the C interface: qbsocks_connect hands over
a socket connected directly or through the proxy the settings name, with
the reason of a failure in the library's words; qbsocks_route says which
path the settings choose. For C programs and other languages.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "TCP client socket through SOCKS proxies - development files
${QBSOCKS_DEB_ABOUT}
.
This package holds the headers, the CMake package (find_package(QBSocks32)),
the pkg-config files qbsocks32.pc and qbsocks.pc and the manual pages
qbsocks32(3) and qbsocks(3).")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "tools to set the QBSocks32 proxy and connect through it
${QBSOCKS_DEB_ABOUT}
.
This package holds qbsocks-reg, which reads and writes the settings with
the commands of reg.exe (and imports what regedit exports), and
qbsocks-cat, a netcat whose connection goes the way the settings say; it
works as ssh's ProxyCommand.")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python binding of the QBSocks32 C interface
${QBSOCKS_DEB_ABOUT}
.
This package holds the Python 3 module qbsocks (ctypes over libqbsocks):
qbsocks.create_connection((host, port), timeout) returns a socket.socket
connected as the settings say, or raises a ConnectionError subclass per
failure with the library's reason; qbsocks.route() says which path the
settings choose.")

include(CPack)
