# Fails the build if any function taking or returning Lanes (a block of
# doubles in one vector) was emitted out of line. Such a function, compiled
# for the baseline target, passes 256-bit vectors in memory, while the AVX2
# kernel that calls it expects them in registers: the two disagree on the
# calling convention and the call corrupts the stack. Everything on Lanes must
# be inlined into the kernel that uses it.
#
# Usage: cmake -DNM=<nm> -DLIBRARY=<module file> -P CheckLanesInlined.cmake

execute_process(
  COMMAND "${NM}" -C "${LIBRARY}"
  OUTPUT_VARIABLE symbols
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]*Lanes<[^\n]*" out_of_line "${symbols}")
if(out_of_line)
  list(JOIN out_of_line "\n  " listing)
  message(FATAL_ERROR "functions on Lanes were not inlined into their kernel:\n  ${listing}")
endif()
