# One nuvctl.exe case under Wine: runs the tool in WORK with --sim and the
# virtual clock, and checks its exit status and that its output (stdout and
# stderr together) matches EXPECT.
file(MAKE_DIRECTORY "${WORK}")
# A small firmware image for the firmware case.
file(WRITE "${WORK}/firmware.bin" "nuv firmware image for the Wine test, padded by the library to whole chunks")
string(REPLACE "|" ";" args "${ARGS}")
execute_process(COMMAND ${WINE} ${TOOL} --sim --virtual-clock ${args}
  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
set(all "${out}${err}")
string(REPLACE "\r\n" "\n" all "${all}")
if(EXISTS "${WORK}/frame.raw.json")
  file(READ "${WORK}/frame.raw.json" sidecar)
  string(APPEND all "${sidecar}")
  file(REMOVE "${WORK}/frame.raw.json")
endif()
if(NOT rc STREQUAL "${STATUS}")
  message(FATAL_ERROR "exit status ${rc}, expected ${STATUS}:\n${all}")
endif()
if(NOT all MATCHES "${EXPECT}")
  message(FATAL_ERROR "output does not match \"${EXPECT}\":\n${all}")
endif()
message(STATUS "ok:\n${all}")
