# Writes the CMake package of one flavour of the Windows kit into
# DIR (<kit>/<flavour>/lib/cmake/QBSocks32):
#   cmake -DFLAVOUR=msvc|mingw -DVERSION=1.0.0.1 -DDIR=... -P cmake_package.cmake
include(CMakePackageConfigHelpers)

if(FLAVOUR STREQUAL "msvc")
  set(FLAVOUR_COMPILER_TEST "MSVC")
  set(FLAVOUR_COMPILERS "Microsoft Visual C++ (or clang-cl)")
  set(QBSOCKS_IMPLIB QBSocks32.lib)
  set(QBAFX_IMPLIB qbafx.lib)
elseif(FLAVOUR STREQUAL "mingw")
  set(FLAVOUR_COMPILER_TEST "MINGW")
  set(FLAVOUR_COMPILERS "MinGW-w64 GCC")
  set(QBSOCKS_IMPLIB libQBSocks32.dll.a)
  set(QBAFX_IMPLIB libqbafx.dll.a)
else()
  message(FATAL_ERROR "cmake_package.cmake: FLAVOUR must be msvc or mingw")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/QBSocks32Config.cmake.in ${DIR}/QBSocks32Config.cmake @ONLY)
# The 32-bit check is the package's own (above), so the version file has none.
write_basic_package_version_file(${DIR}/QBSocks32ConfigVersion.cmake
  VERSION ${VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
