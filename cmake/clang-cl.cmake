# Microsoft's compiler's mode, checked on Linux (tests/msvc_mode_check.py):
# clang-cl reads cl.exe's command line, defines _MSC_VER and compiles for the
# MSVC ABI, against libc++ and mingw-w64's UCRT headers.  Microsoft's libraries
# are not here, so no program can link whole: CMake's own checks build static
# libraries, and the check links with the runtime left unresolved.
#   cmake -S . -B build/clang-cl-x86 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/clang-cl.cmake
#         [-DWORM_CLANG_CL_ARCH=x64]
set(CMAKE_SYSTEM_NAME Windows)
set(WORM_CLANG_CL_ARCH x86 CACHE STRING "x86 or x64")
if(WORM_CLANG_CL_ARCH STREQUAL "x64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
  set(triple x86_64-pc-windows-msvc)
  set(mingw_headers /usr/x86_64-w64-mingw32/include)
  set(windows_arch _AMD64_)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
  set(triple i686-pc-windows-msvc)
  set(mingw_headers /usr/i686-w64-mingw32/include)
  set(windows_arch _X86_)
endif()
find_program(CMAKE_C_COMPILER NAMES clang-cl clang-cl-14 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang-cl clang-cl-14 REQUIRED)
find_program(CMAKE_LINKER NAMES lld-link REQUIRED)
find_program(CMAKE_AR NAMES llvm-lib REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES llvm-rc REQUIRED)
find_program(CMAKE_MT NAMES llvm-mt REQUIRED)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# What the substitute headers need, none of it read by the project's own code:
# mingw-w64's headers take the GNU branches (-fgnuc-version) and the
# architecture's name as windows.h would set it; libc++ uses its own exception
# classes instead of the absent vcruntime's, and <locale> names two functions
# mingw-w64 does not declare.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} --version OUTPUT_VARIABLE version)
string(REGEX MATCH "version ([0-9]+)" _ "${version}")
set(libcxx_headers /usr/lib/llvm-${CMAKE_MATCH_1}/include/c++/v1)
string(JOIN " " CMAKE_CXX_FLAGS_INIT --target=${triple} /clang:-fgnuc-version=4.2.1
       -imsvc ${libcxx_headers} -imsvc ${mingw_headers} -D${windows_arch} -D_UCRT
       -D_LIBCPP_NO_VCRUNTIME -D_strtof_l=_strtod_l -D_strtold_l=_strtod_l)
set(CMAKE_C_FLAGS_INIT "--target=${triple} -imsvc ${mingw_headers} -D${windows_arch} -D_UCRT")
set(CMAKE_RC_FLAGS_INIT "-I${mingw_headers}")
