# Run by `cmake --install` (cmake/QBSocks32Install.cmake) with PYTHON (the
# interpreter CMake found), UNPACKED (the package as pip installs it) and
# LIBDIR set: installs the package qbsocks where that Python looks for the
# modules of the install prefix, so that `--prefix ~/.local` works without
# PYTHONPATH:
#   the prefix is the user's base (site.getuserbase(), ~/.local)
#       -> the user's site-packages, ~/.local/lib/python3.X/site-packages
#   a folder of Python's path lies in the prefix's lib (/usr/local on Debian,
#   a venv) -> that folder
#   else -> <prefix>/lib/python3.X/site-packages, which the user adds to
#       PYTHONPATH (said below)
# Beside the module, a relative link to the prefix's libqbsocks.so.1, which
# the module loads before the system's loader searches (qbsocks.py).
set(where [=[
import os, site, sys, sysconfig
prefix = os.path.realpath(sys.argv[1])
def in_lib(path):
    relative = os.path.relpath(os.path.realpath(path), prefix).split(os.sep)
    return relative[0] in ("lib", sys.argv[2]) and path.endswith("-packages")
if site.ENABLE_USER_SITE and os.path.realpath(site.getuserbase()) == prefix:
    print(site.getusersitepackages())
else:
    print(next(filter(in_lib, sys.path), "") or "none;" + sysconfig.get_path("purelib", "posix_prefix", vars={"base": prefix}))
]=])
execute_process(COMMAND "${PYTHON}" -c "${where}" "${CMAKE_INSTALL_PREFIX}" "${LIBDIR}"
  OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
if(dir MATCHES "^none;(.*)")
  set(dir "${CMAKE_MATCH_1}")
  message(STATUS "${PYTHON} looks in no folder of ${CMAKE_INSTALL_PREFIX}: "
    "add ${dir} to PYTHONPATH for the package qbsocks")
endif()
file(INSTALL DESTINATION "${dir}" TYPE DIRECTORY FILES "${UNPACKED}/")
set(link "${dir}/qbsocks/libqbsocks.so.1")
file(RELATIVE_PATH library "${dir}/qbsocks" "${CMAKE_INSTALL_PREFIX}/${LIBDIR}/libqbsocks.so.1")
message(STATUS "Installing: $ENV{DESTDIR}${link} -> ${library}")
file(CREATE_LINK "${library}" "$ENV{DESTDIR}${link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
