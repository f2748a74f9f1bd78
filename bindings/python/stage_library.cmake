# cmake -DLIBRARY=<libqbsocks.so.1.x> -DSTAGED=<copy> -DSTRIP=<strip> -P stage_library.cmake
# The copy that the Linux wheel carries: stripped, and without a run path
# (the build gives it none; a library given to the wheel by hand may have
# one that names folders of the machine it was built on).
execute_process(COMMAND ${STRIP} --strip-unneeded -o ${STAGED} ${LIBRARY} COMMAND_ERROR_IS_FATAL ANY)
file(RPATH_REMOVE FILE ${STAGED})
