# Runs PROGRAM (through EMULATOR, when given) with ARGS and writes its
# standard output to OUT, renamed into place only once whole.
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS}
                OUTPUT_FILE ${OUT}.part RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "${PROGRAM} ${ARGS}: exit status ${status}")
endif()
file(RENAME ${OUT}.part ${OUT})
