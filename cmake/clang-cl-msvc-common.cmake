# What both MSVC-ABI toolchains share (clang-cl-i686-msvc.cmake and
# clang-cl-x86_64-msvc.cmake, which set CMAKE_SYSTEM_PROCESSOR and the
# QBSOCKS_MSVC_TRIPLE, QBSOCKS_MINGW_SYSROOT, QBSOCKS_MSVC_ARCH_FLAGS,
# QBSOCKS_MSVC_ARCH_LINK_FLAGS, QBSOCKS_DLLTOOL_MACHINE and QBSOCKS_WINE
# first). There is no C run-time start-up and no C++ standard library for
# these targets here: modules and programs bring their own entry
# (platform/msvc), and take memset and friends, operator new and delete
# from MSVCRT.DLL.
include(${CMAKE_CURRENT_LIST_DIR}/windows-cross-common.cmake)
set(QBSOCKS_MSVC_ABI ON)

# The LLVM tools, unversioned or by the versions Debian 12 carries.
function(qbsocks_find_llvm_tool var name)
  find_program(${var} NAMES ${name} ${name}-16 ${name}-15 ${name}-14
    PATHS /usr/lib/llvm-16/bin /usr/lib/llvm-15/bin /usr/lib/llvm-14/bin REQUIRED)
endfunction()
qbsocks_find_llvm_tool(QBSOCKS_CLANG_CL clang-cl)
qbsocks_find_llvm_tool(QBSOCKS_LLD_LINK lld-link)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_LIB llvm-lib)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_RC llvm-rc)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_MT llvm-mt)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_DLLTOOL llvm-dlltool)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_OBJDUMP llvm-objdump)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_OBJCOPY llvm-objcopy)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_READOBJ llvm-readobj)
qbsocks_find_llvm_tool(QBSOCKS_LLVM_UNDNAME llvm-undname)

set(CMAKE_C_COMPILER ${QBSOCKS_CLANG_CL})
set(CMAKE_CXX_COMPILER ${QBSOCKS_CLANG_CL})
set(CMAKE_C_COMPILER_TARGET ${QBSOCKS_MSVC_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${QBSOCKS_MSVC_TRIPLE})
set(CMAKE_LINKER ${QBSOCKS_LLD_LINK})
set(CMAKE_AR ${QBSOCKS_LLVM_LIB})
set(CMAKE_RC_COMPILER ${QBSOCKS_LLVM_RC})
set(CMAKE_MT ${QBSOCKS_LLVM_MT})

# MinGW-w64's headers as the system headers. RTTI on, as the compiler's
# default and MFC have it, so that a host's typeid and dynamic_cast work on
# the classes' objects (its support is MSVCRT.DLL's, and the type_info
# table platform/msvc's). No exceptions (the library raises none; a host
# that uses them turns them on for itself with /EHsc), no thread-safe
# statics and no default libraries, all of which would need a run-time that
# is not there. No stack cookies but where a target asks for them: the
# shipped DLLs do (platform/msvc brings the cookie and its check).
set(qbsocks_msvc_flags
  "/imsvc ${QBSOCKS_MINGW_SYSROOT}/include ${QBSOCKS_MSVC_ARCH_FLAGS} -fgnuc-version=4.2.1 /GS- /GR /EHs-c- /Zl /Zc:threadSafeInit-")
# Set as the flags themselves, not as their initial value, which CMake
# would extend with /GR /EHsc.
set(CMAKE_C_FLAGS "${qbsocks_msvc_flags}" CACHE STRING "C compiler flags")
set(CMAKE_CXX_FLAGS "${qbsocks_msvc_flags}" CACHE STRING "C++ compiler flags")
# No run-time library option: there is no run-time to choose.
set(CMAKE_MSVC_RUNTIME_LIBRARY "")
# CMake's default libraries for every link (kernel32.lib user32.lib ...)
# are a Windows SDK's; each target here names what it imports.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked by default")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked by default")
set(CMAKE_RC_FLAGS_INIT "/I ${QBSOCKS_MINGW_SYSROOT}/include")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "/nodefaultlib ${QBSOCKS_MSVC_ARCH_LINK_FLAGS} /manifest:no")
endforeach()

set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
