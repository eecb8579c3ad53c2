# kalvicom_objdump_table(TEXT HEADING ROW OUT): from the output of `objdump -p`, the rows of the
# table that starts at HEADING and ends at the first blank line. ROW is a regular expression for
# the start of a row, which is removed from each; rows that do not start so are left out. Fails
# when there is no such table.
function(kalvicom_objdump_table text heading row out)
  string(FIND "${text}" "${heading}" at)
  if(at LESS 0)
    message(FATAL_ERROR "no \"${heading}\" in objdump's output")
  endif()
  string(SUBSTRING "${text}" ${at} -1 text)
  string(REGEX REPLACE "\n[ \t]*\n.*$" "" text "${text}")
  string(REGEX MATCHALL "\n${row}[^\n]+" lines "${text}")
  set(rows)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n${row}" "" line "${line}")
    list(APPEND rows "${line}")
  endforeach()
  set(${out} ${rows} PARENT_SCOPE)
endfunction()
