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
# installed Linux program or library, INSTALLED (a folder relative to
# $ORIGIN, "" for its own, where the install puts what it needs); in the
# build tree that one too, then each BUILD_FOLDER as seen from the
# target's own folder.
# The install rewrites the build tree's run path in place. CMake pads a
# build path shorter than the installed one with empty entries to make
# room, and glibc reads an empty entry as the current folder (a program
# started in a folder holding a libstdc++.so.6 would load that one): the
# build path begins with the installed one, so it is never the shorter.
function(qbsocks_runpath target installed)
  set(origin "$ORIGIN")
  if(NOT installed STREQUAL "")
    set(origin "$ORIGIN/${installed}")
  endif()
  set(entries "${origin}")
  foreach(folder IN LISTS ARGN)
    file(RELATIVE_PATH relative ${CMAKE_CURRENT_BINARY_DIR} ${folder})
    list(APPEND entries "$ORIGIN/${relative}")
  endforeach()
  set_target_properties(${target} PROPERTIES BUILD_RPATH "${entries}" INSTALL_RPATH "${origin}")
endfunction()
