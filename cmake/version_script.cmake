# qbsocks_export_only(TARGET MAP): a Linux shared library lets out only
# what the version script MAP names, and resolves every symbol at link
# time; sanitizer runtimes are the program's to bring, so not under
# sanitizers.
function(qbsocks_export_only target map)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    target_link_options(${target} PRIVATE "LINKER:-z,defs")
  endif()
endfunction()

# qbsocks_runpath(TARGET INSTALLED [BUILD_FOLDER...]): the run path of an
# installed Linux program or library, written once at link time: INSTALLED
# (a folder relative to $ORIGIN, "" for its own, where the install puts
# what it needs), then each BUILD_FOLDER of the build tree as seen from the
# target's own folder.
# CMake's default would write the build tree's path padded with empty
# entries, for the install to overwrite in place; glibc reads an empty
# entry as the current folder, so a program started in a folder holding a
# libstdc++.so.6 would load that one.
function(qbsocks_runpath target installed)
  set(entries "$ORIGIN")
  if(NOT installed STREQUAL "")
    set(entries "$ORIGIN/${installed}")
  endif()
  foreach(folder IN LISTS ARGN)
    file(RELATIVE_PATH relative ${CMAKE_CURRENT_BINARY_DIR} ${folder})
    list(APPEND entries "$ORIGIN/${relative}")
  endforeach()
  set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${entries}")
endfunction()
