# Runs one fuzz target for its fixed number of inputs from a fresh copy of the committed
# seeds, so that two runs of the same commit run the same inputs; what the run adds to the
# corpus is thrown away with the copy.
#   cmake -DFUZZER=exe -DSEEDS=dir -DWORK=dir -DOPTIONS="opt|opt|..." -P RunBounded.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB seeds ${SEEDS}/*)
if(seeds)
  file(COPY ${seeds} DESTINATION ${WORK})
endif()
string(REPLACE "|" ";" options "${OPTIONS}")
execute_process(COMMAND ${FUZZER} ${options} ${WORK} RESULT_VARIABLE result)
file(REMOVE_RECURSE ${WORK})
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} ended with ${result}")
endif()
