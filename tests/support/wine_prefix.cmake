# Sets up the Wine prefix that a build's test programs run in: creates it,
# makes Wine's null display driver the prefix's own, so that programs can
# make windows on a machine without an X server (and never show them on one
# that has one), and keeps Wine's debugger from showing a crash dialog
# there, which nobody would close: a program that crashes prints where and
# ends.
#
#   cmake -DWINE=<the toolchain's emulator, a list> -P wine_prefix.cmake
execute_process(COMMAND ${WINE} wineboot --init COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WINE} reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /t REG_SZ
  /d null /f OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WINE} reg add "HKCU\\Software\\Wine\\WineDbg" /v ShowCrashDialog
  /t REG_DWORD /d 0 /f OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
