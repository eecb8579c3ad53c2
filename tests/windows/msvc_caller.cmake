# Builds msvc_caller.c as Visual Studio would link it against kalvicom.lib, and checks that the
# program imports exactly the .def's names from kalvicom.dll, undecorated.
#
#   cmake -DTARGET=x86_64-pc-windows-msvc|i686-pc-windows-msvc -DIMPLIB=kalvicom.lib -DDEF=kalvicom.def
#         -DKERNEL32=libkernel32.a -DCLANG=... -DLLD_LINK=... -DREADOBJ=... -DOUT=msvc_caller.exe
#         -P msvc_caller.cmake
cmake_minimum_required(VERSION 3.16)
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed:\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

get_filename_component(source ${CMAKE_CURRENT_LIST_DIR}/msvc_caller.c ABSOLUTE)
run("clang --target=${TRIPLE}" ${CLANG} --target=${TRIPLE} -O1 -Wall -Wextra -Werror -c ${source} -o ${OUT}.obj)
set(link ${LLD_LINK} /nologo /entry:start /subsystem:console /nodefaultlib /out:${OUT} ${OUT}.obj ${IMPLIB} ${KERNEL32})
if(TRIPLE MATCHES "^i686")
  list(APPEND link /safeseh:no) # MinGW's kernel32 import objects carry no safe-exception table
endif()
run("lld-link against ${IMPLIB}" ${link})

run("llvm-readobj" ${READOBJ} --coff-imports ${OUT})
string(REGEX MATCH "Name: kalvicom.dll[^}]*" block "${out}")
string(REGEX MATCHALL "Symbol: [^ \n]+" imports "${block}")
list(TRANSFORM imports REPLACE "^Symbol: " "")
list(SORT imports)

file(STRINGS ${DEF} lines REGEX "^[ \t]+[A-Za-z]")
list(TRANSFORM lines STRIP)
list(SORT lines)
if(NOT imports STREQUAL lines)
  message(FATAL_ERROR "${OUT} imports from kalvicom.dll: ${imports}\nexpected: ${lines}")
endif()
message(STATUS "${TRIPLE}: imports ${imports}")
