# Runs one fuzz target for a fixed number of executions with a fixed seed.
# New inputs go to a scratch directory, so the checked-in seed corpus never
# changes; crash reproducers go there too.
# Usage: cmake -DFUZZER=... -DCORPUS=... -DDICTIONARY=... -DWORK_DIR=... -DRUNS=... -P run_fuzzer.cmake
foreach(variable FUZZER CORPUS DICTIONARY WORK_DIR RUNS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/corpus")
execute_process(
  COMMAND "${FUZZER}" -runs=${RUNS} -seed=1 -max_len=4096 -dict=${DICTIONARY}
    -artifact_prefix=${WORK_DIR}/ -print_final_stats=1
    "${WORK_DIR}/corpus" "${CORPUS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); reproducers are in ${WORK_DIR}")
endif()
