# The debug information of a binary the Windows kit ships goes into a file
# of its own beside it, NAME.debug (as a PDB beside an MSVC-built one): the
# binary keeps no symbols, only the name and checksum of that file in its
# .gnu_debuglink section, where gdb finds it.
function(qbsocks_split_debug_file target)
  set(binary $<TARGET_FILE:${target}>)
  set(debug_file $<PATH:REPLACE_EXTENSION,LAST_ONLY,${binary},.debug>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${binary} ${debug_file}
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug_file} ${binary}
    VERBATIM)
endfunction()
