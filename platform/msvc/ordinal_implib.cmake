# Writes an import library through which a module's exports are imported by
# ordinal, as hosts import MFC42.DLL: reads the export table of the built
# DLL, writes a .def file with every export as NONAME at its ordinal, and
# makes the library from it with llvm-dlltool.
#
#   cmake -DDLL=<dll> -DDEF=<def to write> -DLIB=<lib to write>
#         -DREADOBJ=<llvm-readobj> -DDLLTOOL=<llvm-dlltool> -DMACHINE=<i386|i386:x86-64>
#         -P ordinal_implib.cmake
foreach(var DLL DEF LIB READOBJ DLLTOOL MACHINE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ordinal_implib.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${READOBJ} --coff-exports ${DLL}
  OUTPUT_VARIABLE exports RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ordinal_implib.cmake: ${READOBJ} failed on ${DLL}")
endif()

get_filename_component(dll_name ${DLL} NAME)
set(def "; Generated from the export table of ${dll_name}: imports by ordinal.\n")
string(APPEND def "LIBRARY ${dll_name}\nEXPORTS\n")
string(REGEX MATCHALL "Ordinal: [0-9]+\n *Name: [^\n]+" entries "${exports}")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "Ordinal: ([0-9]+)\n *Name: ([^\n]+)" "\\1;\\2" fields "${entry}")
  list(GET fields 0 ordinal)
  list(GET fields 1 name)
  # Data in Microsoft's decorated names: static members (0-2), globals (3),
  # virtual tables (6, 7) right after the scope's "@@".
  set(kind "")
  if(name MATCHES "^\\?[^@]+@[^@]*@@[0-7]" OR name MATCHES "^\\?\\?_[78]")
    set(kind " DATA")
  endif()
  string(APPEND def "  ${name} @${ordinal} NONAME${kind}\n")
endforeach()
file(WRITE ${DEF} "${def}")

execute_process(COMMAND ${DLLTOOL} -m ${MACHINE} -d ${DEF} -l ${LIB} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ordinal_implib.cmake: ${DLLTOOL} failed on ${DEF}")
endif()
