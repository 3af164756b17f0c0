# Fails when an object of one instruction-set level's loops defines a symbol
# that other objects may also define, outside the level's namespace: the
# linker keeps one copy of such a symbol for all callers, and an AVX-512
# copy kept for baseline callers faults on older processors.
# Usage: cmake -DNM=<nm> -DLEVEL=<name> -DOBJECTS=<a;b;...> -P check_level_symbols.cmake
set(offending "")
foreach(object ${OBJECTS})
  execute_process(COMMAND ${NM} -C --defined-only ${object} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line ${lines})
    # Global and weak symbols; the personality routine's reference is data
    # every object with exceptions shares.
    if(line MATCHES "^[0-9a-f]+ [A-Zuvw] (.*)$")
      set(symbol "${CMAKE_MATCH_1}")
      if(NOT symbol MATCHES "isa_${LEVEL}::" AND NOT symbol STREQUAL "DW.ref.__gxx_personality_v0")
        string(APPEND offending "  ${object}: ${symbol}\n")
      endif()
    endif()
  endforeach()
endforeach()
if(offending)
  message(FATAL_ERROR "symbols outside the namespace isa_${LEVEL}:\n${offending}")
endif()
message(STATUS "every shared symbol of the ${LEVEL} loops is in isa_${LEVEL}")
