# The install, and the release package that cpack (or the package target) makes
# of it: worm_export-VERSION-SYSTEM.zip on Windows, .tar.gz elsewhere, where
# SYSTEM is win32, win64 or Linux, with the calling convention appended when it
# is not the default (win32-stdcall).  Each runs the demo from where it is
# unpacked: the tool, the stand-in library, the sample store and a README.

# Windows: one folder, as a zip is unpacked beside the vendor's DLL.  Elsewhere:
# bin/, lib/ (which the tool's RUNPATH finds) and share/worm_export/.
if(WIN32)
  math(EXPR pointer_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_SYSTEM_NAME win${pointer_bits})
  set(CPACK_GENERATOR ZIP)
  set(program_dir .)
  set(library_dir .)
  set(extras_dir .)
  set(demo_program worm_export.exe)
  set(demo_drive sample_store)
  set(library_file WormAPI.dll)
  set(readme_newlines CRLF)
else()
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME})
  set(CPACK_GENERATOR TGZ)
  set(program_dir ${CMAKE_INSTALL_BINDIR})
  set(library_dir ${CMAKE_INSTALL_LIBDIR})
  set(extras_dir ${CMAKE_INSTALL_DATADIR}/worm_export)
  set(demo_program ${program_dir}/worm_export)
  set(demo_drive ${extras_dir}/sample_store)
  set(library_file ${library_dir}/libWormAPI.so)
  set(readme_newlines UNIX)
endif()
if(WORM_CALL)
  string(REGEX REPLACE "^_+" "-" convention_suffix "${WORM_CALL}")
  string(APPEND CPACK_SYSTEM_NAME ${convention_suffix})
  set(convention ${WORM_CALL})
elseif(WIN32)
  set(convention __cdecl)
else()
  set(convention "the platform's C calling convention")
endif()

# The import library is left out: without the header it is of no use.
install(TARGETS worm_export WormAPI
  RUNTIME DESTINATION ${program_dir}
  LIBRARY DESTINATION ${library_dir}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} EXCLUDE_FROM_ALL)
install(DIRECTORY examples/sample_store DESTINATION ${extras_dir})
# The README shows the demo's command and lines, which the package test runs and
# compares.
configure_file(cmake/package_readme.txt.in README.txt @ONLY NEWLINE_STYLE ${readme_newlines})
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION ${extras_dir})
if(NOT WIN32)
  # The package's top folder gets it too, where someone who unpacks it looks
  # first; an install into /usr/local does not.
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .
          COMPONENT package_top EXCLUDE_FROM_ALL)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      ${PROJECT_BINARY_DIR} ${PROJECT_NAME} Unspecified /
      ${PROJECT_BINARY_DIR} ${PROJECT_NAME} package_top /)
endif()

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Exercises the export functions of a WORM store")
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Release packages carry stripped programs (the stand-in DLL: 2.2 MB to 1.2 MB);
# a debug build's keep their symbols.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
  set(CPACK_STRIP_FILES ON)
endif()
include(CPack)
