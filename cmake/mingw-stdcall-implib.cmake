# Rewrites a 32-bit MinGW import library so callers can link the plain-named exports.
#
# On 32-bit Windows the WINAPI (stdcall) functions are decorated as _Name@N in object files. The
# .def file exports them under their plain names, which is what the DLL must show, but the import
# library ld writes from it then offers _Name, while every caller compiled against the header asks
# for _Name@N. dlltool's --kill-at writes the library callers need: decorated symbols that import
# the plain names. The decorations are read from the objects, so the .def stays the one list.
#
#   cmake -DDEF=kalvicom.def -DDLL=kalvicom.dll -DIMPLIB=kalvicom.dll.a -DNM=... -DDLLTOOL=...
#         -DOBJECTS="a.obj|b.obj" -P mingw-stdcall-implib.cmake
include(${CMAKE_CURRENT_LIST_DIR}/def_exports.cmake)
kalvicom_def_exports(${DEF} names)

string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} -g --defined-only ${objects}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on the objects")
endif()

set(decorated_def "LIBRARY ${DLL}\nEXPORTS\n")
foreach(name IN LISTS names)
  if(NOT symbols MATCHES " T _${name}(@[0-9]+)\n")
    message(FATAL_ERROR "no stdcall symbol _${name}@N among the objects")
  endif()
  string(APPEND decorated_def "    ${name}${CMAKE_MATCH_1}\n")
endforeach()
file(WRITE ${IMPLIB}.def "${decorated_def}")
execute_process(COMMAND ${DLLTOOL} --kill-at -d ${IMPLIB}.def -D ${DLL} -l ${IMPLIB}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed")
endif()

# The same decorated list gives Visual Studio's import library: with -k, llvm-dlltool keeps the
# caller's __imp__Name@N symbols and imports the plain names.
if(LLVM_DLLTOOL)
  execute_process(COMMAND ${LLVM_DLLTOOL} -m i386 -k -d ${IMPLIB}.def -l ${MSVC_IMPLIB} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${LLVM_DLLTOOL} failed")
  endif()
endif()
