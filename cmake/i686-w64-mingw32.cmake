# 32-bit Windows, the tool's real target:
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
# The tests run the programs under 32-bit Wine (Debian's wine32:i386), where its
# loader starts here; on a kernel that refuses 32-bit programs that takes qemu's
# user-mode emulator, which ./run-tests sets up.
find_program(WINE32 NAMES wine PATHS /usr/lib/wine /usr/lib/i386-linux-gnu/wine
             NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(WINE32)
  execute_process(COMMAND ${WINE32} --version RESULT_VARIABLE wine32_failed
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT wine32_failed)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE32})
  endif()
endif()
