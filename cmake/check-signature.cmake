# cmake -DOBJDUMP=llvm-objdump -DFILE=executable -P check-signature.cmake
# Succeeds when the Mach-O executable FILE has a code signature (LC_CODE_SIGNATURE);
# otherwise deletes FILE, so that the next build links it again, and fails.
execute_process(COMMAND "${OBJDUMP}" --macho --private-headers "${FILE}"
                OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${FILE}: llvm-objdump cannot read its load commands (${status})")
endif()
string(FIND "${headers}" "cmd LC_CODE_SIGNATURE" at)
if(at EQUAL -1)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${FILE}: no code signature (LC_CODE_SIGNATURE); Apple silicon "
                      "would refuse to run it, so it was deleted")
endif()
