# Remakes a MinGW import library so that callers compiled for __stdcall, whose
# references carry the @N decoration, import the DLL's plain exported names.
#   cmake -DDLLTOOL=... -DDEF=X.def -DDLL=X.dll -DIMPLIB=libX.dll.a -P plain_import_library.cmake
# DEF is the one the linker wrote with --output-def: "name = name@N @ordinal".
file(STRINGS "${DEF}" lines)
set(decorated "EXPORTS\n")
foreach(line IN LISTS lines)
  if(line MATCHES "= *([A-Za-z_0-9]+@[0-9]+)")
    string(APPEND decorated "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
file(WRITE "${DEF}.decorated" "${decorated}")
execute_process(COMMAND "${DLLTOOL}" --kill-at --input-def "${DEF}.decorated"
                        --dllname "${DLL}" --output-lib "${IMPLIB}"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "dlltool could not write ${IMPLIB}")
endif()
