# Fails unless DLL exports every function of the public table under its
# decorated name (_Name@bytes with the right byte count), and nothing else:
# with SIM, _NuvSim...@N names are allowed besides; with EXACT, the table's 43
# names are all there is. Every table function that CORE defines must be
# exported.
cmake_policy(SET CMP0057 NEW)
set(table
  NuvDLLVersion@8 NuvGetBufferSize@4 NuvGetDevice@8 NuvGetDeviceWithSerialNo@8 NuvGetFormat@12
  NuvOpen@24 NuvReceiveImage@8 NuvClose@4 NuvOpenSerialNo@24
  NuvSetLed@8 NuvGetLed@8 NuvSetGain@8 NuvGetGain@8 NuvSetExposure@8 NuvGetExposure@8
  NuvSetCameraNo@8 NuvGetCameraNo@8 NuvSetColorBar@8 NuvGetColorBar@8
  NuvCameraRecognition@8 NuvUSBMode@8 NuvGPIODirection@8 NuvGPIOOutput@8 NuvGPIOInput@8
  NuvSetShutter@8 NuvGetShutter@8 NuvSetSerialNo@8 NuvGetSerialNo@8
  NuvTemperature@12 NuvVersion@12 NuvSetRegister@12 NuvSetDigitalGain@20 NuvGetDigitalGain@20
  NuvSetPixelDefect@16 NuvGetPixelDefect@16 NuvSetPixelDefectOnOff@8 NuvGetPixelDefectOnOff@8
  NuvSetShadingCorrection@28 NuvGetShadingCorrection@28
  NuvSetShadingCorrectionOnOff@8 NuvGetShadingCorrectionOnOff@8
  NuvSoftRewrite@8 NuvSoftRewriteState@12)
list(LENGTH table count)
if(NOT count EQUAL 43)
  message(FATAL_ERROR "the table must hold 43 functions, holds ${count}")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
# Brackets would upset CMake's list splitting: the rows read "<   0> name".
string(REPLACE "[" "<" dump "${dump}")
string(REPLACE "]" ">" dump "${dump}")
string(REGEX MATCH "<Ordinal/Name Pointer> Table\n([^\n]+\n)*" section "${dump}")
string(REGEX MATCHALL "<[ 0-9]+> [^\n]+" rows "${section}")
set(exported "")
set(bad "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^<[ 0-9]+> " "" name "${row}")
  list(APPEND exported "${name}")
  string(REGEX REPLACE "^_" "" bare "${name}")
  if(NOT name MATCHES "^_")
    list(APPEND bad "${name}")
  elseif(bare IN_LIST table)
  elseif(SIM AND bare MATCHES "^NuvSim[A-Za-z0-9]*@[0-9]+$")
  else()
    list(APPEND bad "${name}")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "${DLL} exports names outside the table: ${bad}")
endif()

execute_process(COMMAND ${NM} -g --defined-only ${CORE} OUTPUT_VARIABLE symbols)
string(REGEX MATCHALL "[ \t]T[ \t]_Nuv[A-Za-z0-9]*@[0-9]+" defined "${symbols}")
set(missing "")
foreach(entry IN LISTS defined)
  string(REGEX REPLACE "^[ \t]T[ \t]" "" name "${entry}")
  string(REGEX REPLACE "^_" "" bare "${name}")
  if(NOT bare IN_LIST table)
    message(FATAL_ERROR "the library defines ${bare}, which is not in the table (wrong argument bytes?)")
  endif()
  if(NOT name IN_LIST exported)
    list(APPEND missing "${name}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "${DLL} lacks exports the library defines: ${missing}")
endif()
list(LENGTH exported n)
foreach(bare IN LISTS table)
  if(NOT "_${bare}" IN_LIST exported)
    message(FATAL_ERROR "${DLL} lacks _${bare}")
  endif()
endforeach()
if(EXACT)
  if(NOT n EQUAL 43)
    message(FATAL_ERROR "${DLL} exports ${n} names, not the 43 of the table")
  endif()
endif()
message(STATUS "${DLL}: ${n} exports, all decorated as the table says")
