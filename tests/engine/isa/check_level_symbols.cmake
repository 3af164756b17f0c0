# Fails when an object of one instruction-set level's loops defines a symbol
# that other objects may also define, outside the level's namespace: the
# linker keeps one copy of such a symbol for all callers, and an AVX-512
# copy kept for baseline callers faults on older processors. Fails too when
# one holds a fused multiply-add, which rounds once where the baseline loops
# round twice: all but the constant powers' loop, whose products' errors are
# fused on purpose, and whose kept results are pow's whatever they round.
# Usage: cmake -DNM=<nm> -DOBJDUMP=<objdump> -DLEVEL=<name> -DOBJECTS=<a;b;...> -P check_level_symbols.cmake
set(offending "")
foreach(object ${OBJECTS})
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object} OUTPUT_VARIABLE code COMMAND_ERROR_IS_FATAL ANY)
  if(NOT object MATCHES "/exact_power_loops[.]cpp[.]o$" AND code MATCHES "\tvf(n?m(add|sub)|maddsub|msubadd)[0-9a-z]*")
    string(APPEND offending "  ${object}: a fused multiply-add (${CMAKE_MATCH_0})\n")
  endif()
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
  message(FATAL_ERROR "the ${LEVEL} loops define symbols outside the namespace isa_${LEVEL} or fuse:\n${offending}")
endif()
message(STATUS "every shared symbol of the ${LEVEL} loops is in isa_${LEVEL}, and none but the powers' fuses")
