# Run by cpack once it has made the packages (CPACK_POST_BUILD_SCRIPTS), before it
# copies them to CPACK_PACKAGE_DIRECTORY: rewrites them so that one commit gives
# the same bytes, and writes their SHA-256 there.
execute_process(
  COMMAND ${CPACK_WORM_PYTHON} ${CPACK_WORM_SOURCE_DIR}/cmake/reproducible_archive.py
          --source ${CPACK_WORM_SOURCE_DIR} --checksums-to ${CPACK_PACKAGE_DIRECTORY}
          ${CPACK_PACKAGE_FILES}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "reproducible_archive.py could not rewrite ${CPACK_PACKAGE_FILES}")
endif()
