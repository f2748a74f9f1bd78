# Which Wine can run here, for the scripts that run Windows programs
# (sourced). 32-bit Wine needs a kernel that runs 32-bit Linux programs,
# which some machines do not (ia32_emulation=off); QBSOCKS_NO_WINE32=1 makes
# any machine behave as one of those, so that path can be tried anywhere.
wine32_loader=/usr/lib/wine/wine   # Debian's 32-bit loader (wine32:i386)
wine64_loader=/usr/lib/wine/wine64 # Debian's wine64

wine32_runs() {
  [[ ${QBSOCKS_NO_WINE32:-0} != 1 ]] && "$wine32_loader" --version >/dev/null 2>&1
}

wine64_runs() {
  "$wine64_loader" --version >/dev/null 2>&1
}

# Why 32-bit programs are not run here, for the lines that say so.
wine32_absence() {
  if [[ ${QBSOCKS_NO_WINE32:-0} == 1 ]]; then
    echo "32-bit Wine is switched off (QBSOCKS_NO_WINE32=1)"
  else
    echo "32-bit Wine cannot start here (the kernel runs no 32-bit programs)"
  fi
}

# Ends the wineserver of a build folder's prefix, which lingers a few
# seconds after its programs.
stop_wineserver() {  # BUILD_DIR LOADER
  WINEPREFIX="$(realpath "$1")/wineprefix" WINELOADER="$2" wineserver -k >/dev/null 2>&1 || true
}
