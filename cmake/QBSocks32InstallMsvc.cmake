# What `cmake --install` puts in place for the MSVC-ABI flavour, as an MSVC
# host links it: QBSocks32.dll and qbafx.dll under bin, each with its PDB
# beside it (QBSocks32.pdb, qbafx.pdb), their import libraries
# QBSocks32.lib and qbafx.lib under lib, the headers under
# include/qbsocks32.
install(FILES $<TARGET_FILE:QBSocks32> $<TARGET_FILE:qbafx_dll>
  $<TARGET_PDB_FILE:QBSocks32> $<TARGET_PDB_FILE:qbafx_dll>
  DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT QBSocks32)
install(FILES $<TARGET_LINKER_FILE:QBSocks32> ${PROJECT_BINARY_DIR}/bin/qbafx.lib
  DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT QBSocks32)
# The headers, the libraries' own (their HEADERS file sets); the files
# above are what an MSVC host links, not what CMake would install.
install(TARGETS qbafx_dll QBSocks32 csocks_headers
  RUNTIME EXCLUDE_FROM_ALL LIBRARY EXCLUDE_FROM_ALL ARCHIVE EXCLUDE_FROM_ALL
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qbsocks32 COMPONENT QBSocks32)
