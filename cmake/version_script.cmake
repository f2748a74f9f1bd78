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
