# Fails the build unless the kernel objects of one wider SIMD target (AVX2,
# AVX-512) are isolated from the rest of the module:
#   - they run nothing at load: no static constructor (_GLOBAL__sub_I_...,
#     the function .init_array calls), which would execute that target's
#     instructions on every processor importing the module;
#   - every symbol they export to the link lies in the target's namespace
#     (kv::avx2::...). An inline function emitted there under the same name as
#     a baseline copy would let the linker keep the wide copy for baseline
#     callers too.
#
# Usage: cmake -DNM=<nm> -DTARGET=<target> -DOBJECTS=<object;...> -P CheckTargetUnits.cmake

foreach(object IN LISTS OBJECTS)
  execute_process(
    COMMAND "${NM}" -C --defined-only "${object}"
    OUTPUT_VARIABLE symbols
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${object}")
  endif()
  string(REPLACE "\n" ";" lines "${symbols}")
  set(offending "")
  foreach(line IN LISTS lines)
    # "<address> <type> <name>": upper-case types (and u, v, w) are seen by the link.
    if(line MATCHES "^[0-9a-f]* ([A-Zuvw]) (.*)$")
      if(NOT CMAKE_MATCH_2 MATCHES "kv::${TARGET}::")
        list(APPEND offending "${CMAKE_MATCH_2}")
      endif()
    elseif(line MATCHES "_GLOBAL__sub_I_")
      list(APPEND offending "${line} (runs at load)")
    endif()
  endforeach()
  if(offending)
    list(JOIN offending "\n  " listing)
    message(FATAL_ERROR "${object} (${TARGET}) is not isolated:\n  ${listing}")
  endif()
endforeach()
