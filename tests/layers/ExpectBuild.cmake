# cmake -DBUILD_DIR=... -DTARGET=... -DHEADER=... -DEXPECTED=fails|builds -P ExpectBuild.cmake:
# builds the target and says whether it built as expected; a failure must be the header's.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${TARGET}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(EXPECTED STREQUAL "builds")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TARGET} should build, but:\n${output}")
  endif()
  return()
endif()
if(result EQUAL 0)
  message(FATAL_ERROR "${TARGET} built: ${HEADER} is reachable across the layers")
endif()
string(FIND "${output}" "${HEADER}: No such file or directory" missing)
string(FIND "${output}" "Cannot open include file: '${HEADER}'" missingForMsvc)
if(missing EQUAL -1 AND missingForMsvc EQUAL -1)
  message(FATAL_ERROR "${TARGET} failed, but not for want of ${HEADER}:\n${output}")
endif()
