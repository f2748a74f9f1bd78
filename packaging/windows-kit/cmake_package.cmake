# Writes the CMake package of one flavour of the Windows kit into
# DIR (<kit>/<flavour>/lib/cmake/QBSocks32), or with FLAVOUR=root the kit's
# own, which takes the flavour that matches the compiler, into DIR (<kit>):
#   cmake -DFLAVOUR=msvc|msvc-x64|mingw|mingw-x64|root -DVERSION=1.3.0 -DDIR=...
#         -P cmake_package.cmake
include(CMakePackageConfigHelpers)

# What a host is told when a package refuses its compiler or architecture.
set(KIT_FOLDERS "the kit has one folder per compiler and architecture: msvc for 32-bit and msvc-x64 for 64-bit Visual C++ (or clang-cl) hosts, mingw for 32-bit and mingw-x64 for 64-bit MinGW-w64 GCC hosts")

if(FLAVOUR STREQUAL "root")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/QBSocks32KitConfig.cmake.in ${DIR}/QBSocks32Config.cmake @ONLY)
  write_basic_package_version_file(${DIR}/QBSocks32ConfigVersion.cmake
    VERSION ${VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
  return()
endif()

# A flavour's folder is for one pointer size: -x64 is 64-bit, the rest 32-bit.
if(FLAVOUR MATCHES "-x64$")
  set(FLAVOUR_POINTER_SIZE 8)
  set(FLAVOUR_BITS 64)
else()
  set(FLAVOUR_POINTER_SIZE 4)
  set(FLAVOUR_BITS 32)
endif()
string(REGEX REPLACE "-x64$" "" compilers "${FLAVOUR}")

if(compilers STREQUAL "msvc")
  set(FLAVOUR_COMPILER_TEST "MSVC")
  set(FLAVOUR_COMPILERS "Microsoft Visual C++ (or clang-cl)")
  set(QBSOCKS_IMPLIB QBSocks32.lib)
  set(QBAFX_IMPLIB qbafx.lib)
elseif(compilers STREQUAL "mingw")
  set(FLAVOUR_COMPILER_TEST "MINGW")
  set(FLAVOUR_COMPILERS "MinGW-w64 GCC")
  set(QBSOCKS_IMPLIB libQBSocks32.dll.a)
  set(QBAFX_IMPLIB libqbafx.dll.a)
else()
  message(FATAL_ERROR "cmake_package.cmake: FLAVOUR must be msvc, msvc-x64, mingw, mingw-x64 or root")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/QBSocks32Config.cmake.in ${DIR}/QBSocks32Config.cmake @ONLY)
# The pointer-size check is the package's own, so the version file has none.
write_basic_package_version_file(${DIR}/QBSocks32ConfigVersion.cmake
  VERSION ${VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
