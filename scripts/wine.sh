# Which Wine can run here, for the scripts that run Windows programs
# (sourced). 32-bit Wine needs a kernel that runs 32-bit Linux programs,
# which some machines do not (ia32_emulation=off); QBSOCKS_NO_WINE32=1 makes
# any machine behave as one of those, so that path can be tried anywhere.
wine32_loader=/usr/lib/wine/wine   # Debian's 32-bit loader (wine32:i386)
wine64_loader=/usr/lib/wine/wine64 # Debian's wine64

# Whether this kernel runs 32-bit x86 programs: a 93-byte i386 ELF whose
# only instructions are exit(0) is written and run. Anything but a clean
# exit (most often "Exec format error") counts as no. Asking uname is not
# enough: an x86_64 kernel may be booted with 32-bit support off.
kernel_runs_32bit() {
  [[ ${QBSOCKS_NO_WINE32:-0} != 1 ]] || return 1
  local probe
  probe=$(mktemp "${TMPDIR:-/tmp}/qbsocks-probe32.XXXXXX") || return 1
  # ELF header, one PT_LOAD program header at 0x08048000, then
  # mov eax,1; xor ebx,ebx; int 0x80.
  printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0' >"$probe"
  printf '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5d\0\0\0\x5d\0\0\0\x05\0\0\0\0\x10\0\0' >>"$probe"
  printf '\xb8\x01\0\0\0\x31\xdb\xcd\x80' >>"$probe"
  chmod +x "$probe"
  local status=0
  "$probe" 2>/dev/null || status=1
  rm -f "$probe"
  return $status
}

wine32_runs() {
  [[ ${QBSOCKS_NO_WINE32:-0} != 1 ]] && "$wine32_loader" --version >/dev/null 2>&1
}

wine64_runs() {
  "$wine64_loader" --version >/dev/null 2>&1
}

# What scripts/setup.sh noted about 32-bit Wine when it left it out.
wine32_setup_note=build/setup-wine32.txt

# Why 32-bit programs are not run here, for the lines that say so.
wine32_absence() {
  if [[ ${QBSOCKS_NO_WINE32:-0} == 1 ]]; then
    echo "32-bit Wine is switched off (QBSOCKS_NO_WINE32=1)"
  elif ! kernel_runs_32bit; then
    echo "32-bit Wine cannot start here (the kernel runs no 32-bit programs)"
  elif [[ ! -e $wine32_loader && -s $wine32_setup_note ]]; then
    cat "$wine32_setup_note"
  elif [[ ! -e $wine32_loader ]]; then
    echo "32-bit Wine is not installed ($wine32_loader is missing)"
  else
    echo "32-bit Wine cannot start here ($wine32_loader --version failed)"
  fi
}

# Ends the wineserver of a build folder's prefix, which lingers a few
# seconds after its programs.
stop_wineserver() {  # BUILD_DIR LOADER
  WINEPREFIX="$(realpath "$1")/wineprefix" WINELOADER="$2" wineserver -k >/dev/null 2>&1 || true
}
