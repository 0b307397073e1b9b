# Writes the .def file of a DLL from the exports its objects define: every
# function named Nuv... (and, with SIM, NuvSim...). On 32-bit Windows each is
# exported under its MSVC-style decorated stdcall name, _Name@bytes, as
# existing clients expect; 64-bit Windows has one convention and plain names.
# Also writes IMPORT_OUT, the same exports in dlltool's form, from which the
# import library is made: clients link against _Name@bytes and import that
# very name (ld's own import library would add a second underscore).
# Inputs: NM, OUT, IMPORT_OUT, LIBRARY, OBJECTS (a list), SIM (ON/OFF).
set(names "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND "${NM}" -g --defined-only "${object}" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${object}")
  endif()
  string(REGEX MATCHALL "[ \t]T[ \t]_?Nuv[A-Za-z0-9]*(@[0-9]+)?\n" found "${symbols}")
  foreach(entry IN LISTS found)
    string(REGEX REPLACE "^[ \t]T[ \t]|\n$" "" name "${entry}")
    if(name MATCHES "^_?NuvSim" AND NOT SIM)
      continue()
    endif()
    list(APPEND names "${name}")
  endforeach()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
set(text "LIBRARY ${LIBRARY}\nEXPORTS\n")
set(import "${text}")
foreach(name IN LISTS names)
  if(name MATCHES "^_(.*@[0-9]+)$")
    string(APPEND text "  ${name} = ${CMAKE_MATCH_1}\n")
    string(APPEND import "  ${CMAKE_MATCH_1} == ${name}\n")
  else()
    string(APPEND text "  ${name}\n")
    string(APPEND import "  ${name}\n")
  endif()
endforeach()
foreach(pair "OUT;text" "IMPORT_OUT;import")
  list(GET pair 0 path_var)
  list(GET pair 1 text_var)
  file(WRITE "${${path_var}}.tmp" "${${text_var}}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${${path_var}}.tmp" "${${path_var}}")
endforeach()
