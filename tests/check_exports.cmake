# Checks the dynamic symbols of the shared library against the header and
# the Windows export list: all three must name exactly the same operations.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE nm_output RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" symbol_lines "${nm_output}")
set(exported "")
foreach(line IN LISTS symbol_lines)
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)

file(READ ${HEADER} header_text)
# A declaration starts its line with the result type; the comments, which
# name operations too, start theirs with " *".
string(REGEX MATCHALL "\n[a-z][a-z_ ]*[ *](wq_[a-z0-9_]+)\\(" declarations "${header_text}")
set(declared "")
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "wq_[a-z0-9_]+" name "${declaration}")
  list(APPEND declared ${name})
endforeach()
list(SORT declared)

file(STRINGS ${DEF} def_lines REGEX "^    wq_")
set(listed "")
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" name)
  list(APPEND listed ${name})
endforeach()
list(SORT listed)

if(NOT exported STREQUAL listed)
  message(FATAL_ERROR "libwq.so exports\n  ${exported}\nbut wq.def lists\n  ${listed}")
endif()
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "libwq.so exports\n  ${exported}\nbut wq.h declares\n  ${declared}")
endif()
list(LENGTH exported count)
message(STATUS "${count} operations exported, all declared in wq.h and listed in wq.def")
