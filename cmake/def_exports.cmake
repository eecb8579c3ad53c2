# kalvicom_def_exports(DEF VAR): sets VAR to the names that the module-definition file DEF exports,
# in its order. src/kalvicom.def is the one list of exports: the Windows DLL takes it as it is, the
# ELF version script and the export checks are made from it.
function(kalvicom_def_exports def var)
  file(STRINGS ${def} lines)
  set(names)
  set(in_exports FALSE)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^EXPORTS")
      set(in_exports TRUE)
    elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${var} ${names} PARENT_SCOPE)
endfunction()
