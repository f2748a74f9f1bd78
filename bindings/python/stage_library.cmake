# cmake -DLIBRARY=<libqbsocks.so.1.x> -DSTAGED=<copy> -DSTRIP=<strip> -P stage_library.cmake
# The copy that the Linux wheel carries: stripped, and without the build's
# run path (a placeholder whose empty entries a loader may read as the
# current folder).
execute_process(COMMAND ${STRIP} --strip-unneeded -o ${STAGED} ${LIBRARY} COMMAND_ERROR_IS_FATAL ANY)
file(RPATH_REMOVE FILE ${STAGED})
