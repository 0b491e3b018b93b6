# Fails the build if any function taking or returning Lanes of four or more
# doubles (a vector wider than 128 bits) was emitted out of line. Such a
# function, compiled for the baseline target, passes those vectors in memory,
# while the AVX2 kernel that calls it expects them in registers: the two
# disagree on the calling convention and the call corrupts the stack. Lanes<2>
# fits an SSE register and is passed alike everywhere, so an out-of-line copy
# of it (as an unoptimised or sanitizer build may keep) is harmless.
#
# Usage: cmake -DNM=<nm> -DLIBRARY=<module file> -P CheckLanesInlined.cmake

execute_process(
  COMMAND "${NM}" -C "${LIBRARY}"
  OUTPUT_VARIABLE symbols
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]*Lanes<([4-9]|[1-9][0-9]+)>[^\n]*" out_of_line "${symbols}")
if(out_of_line)
  list(JOIN out_of_line "\n  " listing)
  message(FATAL_ERROR "functions on Lanes were not inlined into their kernel:\n  ${listing}")
endif()
