# The install, and the release package that cpack (or the package target) makes
# of it: worm_export-VERSION-SYSTEM.zip on Windows, .tar.gz elsewhere, where
# SYSTEM is win32, win64 or Linux-ARCH, with the calling convention appended
# when it is not the default (win32-stdcall).  Each runs the demo from where it
# is unpacked: the tool, the stand-in library, the sample store and a README
# about its own platform.  One commit gives the same package bytes wherever and
# whenever it is built (cmake/reproducible_archive.py).

# Windows: one folder, as a zip is unpacked beside the vendor's DLL.  Elsewhere:
# bin/, lib/worm_export/ (which the tool's RUNPATH finds, and no other program
# looks in) and share/worm_export/.
# The stand-in's codes for the READMEs, as wormapi/worm_store.h words them.
file(STRINGS ${PROJECT_SOURCE_DIR}/wormapi/worm_store.h code_lines
     REGEX "^ *WORM_[A-Z_]+ = [0-9]+,? */\\*")
set(stand_in_codes "")
foreach(line IN LISTS code_lines)
  string(REGEX MATCH "= ([0-9]+),? */\\* (.*) \\*/$" _ "${line}")
  string(LENGTH "${CMAKE_MATCH_1}" digits)
  math(EXPR pad "6 - ${digits}")
  string(REPEAT " " ${pad} indent)
  list(APPEND stand_in_codes "${indent}${CMAKE_MATCH_1}  ${CMAKE_MATCH_2}")
endforeach()
list(JOIN stand_in_codes "\n" stand_in_codes)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS wormapi/worm_store.h)
if(WIN32)
  set(CPACK_SYSTEM_NAME win${pointer_bits})
  set(CPACK_GENERATOR ZIP)
  set(program_dir .)
  set(library_dir .)
  set(extras_dir .)
  set(demo_program worm_export.exe)
  set(demo_drive sample_store)
  set(library_file WormAPI.dll)
  set(convention __${worm_convention})
  configure_file(cmake/package_readme_windows.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
else()
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_GENERATOR TGZ)
  set(program_dir ${CMAKE_INSTALL_BINDIR})
  set(library_dir ${WORM_LIBRARY_DIR})
  set(extras_dir ${CMAKE_INSTALL_DATADIR}/worm_export)
  # The oldest glibc the programs run on, with the C++ runtimes linked in: the
  # newest symbol version they import, which the package test checks.
  set(glibc_floor 2.36)
  set(library_file ${library_dir}/libWormAPI.so)
  # Two READMEs, each right from where it lies: the package's top folder, and
  # share/worm_export/ of the package or an install.
  set(readme_place "the package's top folder")
  set(demo_program ${program_dir}/worm_export)
  set(demo_drive ${extras_dir}/sample_store)
  configure_file(cmake/package_readme_linux.txt.in README.txt @ONLY)
  set(readme_place "this folder")
  set(demo_program ../../${program_dir}/worm_export)
  set(demo_drive sample_store)
  set(library_file ../../${library_file})
  configure_file(cmake/package_readme_linux.txt.in share/README.txt @ONLY)
endif()
if(WORM_CALL)
  string(REGEX REPLACE "^_+" "-" convention_suffix "${WORM_CALL}")
  string(APPEND CPACK_SYSTEM_NAME ${convention_suffix})
endif()

# The import library is left out: without the header it is of no use.
install(TARGETS worm_export WormAPI
  RUNTIME DESTINATION ${program_dir}
  LIBRARY DESTINATION ${library_dir}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
install(DIRECTORY examples/sample_store DESTINATION ${extras_dir})
if(WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION ${extras_dir})
else()
  install(FILES ${PROJECT_BINARY_DIR}/share/README.txt DESTINATION ${extras_dir})
  # The package's top folder gets its own, where someone who unpacks it looks
  # first; an install into /usr/local does not.
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .
          COMPONENT package_top EXCLUDE_FROM_ALL)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      ${PROJECT_BINARY_DIR} ${PROJECT_NAME} Unspecified /
      ${PROJECT_BINARY_DIR} ${PROJECT_NAME} package_top /)
endif()

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Exercises the export functions of a WORM store")
# Entries in a fixed order, with the commit's time and fixed owners and modes,
# then the SHA-256 beside each package.
set(CPACK_WORM_PYTHON ${Python3_EXECUTABLE})
set(CPACK_WORM_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible_package.cmake)
include(CPack)
