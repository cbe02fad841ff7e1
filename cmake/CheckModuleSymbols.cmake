cmake_minimum_required(VERSION 3.25)
# Fails when the module's library (LIB) needs a symbol from outside itself
# that is not in LIST: the boot environment's and the operating system's
# services and the C library. NM is the nm of the library's processor.
# Run as a script (-P), where IN_LIST needs the policy set.
cmake_policy(SET CMP0057 NEW)

# "vx::open(char const*, int, int)" and "open" both name open.
function(dl_symbol_names nm_args out)
  execute_process(COMMAND ${NM} -C ${nm_args} ${LIB} OUTPUT_VARIABLE text
                  RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} ${nm_args} ${LIB} failed: ${errors}")
  endif()
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    # "<address> <type> <name>" or, for an undefined one, "U <name>".
    if(line MATCHES "^[0-9a-fA-F ]* [A-Za-z] (.+)$")
      set(name "${CMAKE_MATCH_1}")
      string(REGEX REPLACE "\\(.*$" "" name "${name}")
      string(REGEX REPLACE "^vx::" "" name "${name}")
      list(APPEND names "${name}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

dl_symbol_names("--defined-only" defined)
dl_symbol_names("-u" undefined)
list(LENGTH defined definedCount)
if(definedCount EQUAL 0)
  message(FATAL_ERROR "${LIB} defines nothing")
endif()

file(STRINGS ${LIST} allowed REGEX "^[^#]")
set(bad "")
set(outside 0)
foreach(name IN LISTS undefined)
  # Instrumentation of the sanitizer and coverage builds, not the module's.
  if(name IN_LIST defined OR name MATCHES "^__(asan|ubsan|tsan|sanitizer|sancov|gcov|llvm)")
    continue()
  endif()
  # ThreadSanitizer's function-exit hook and the coverage counters of the
  # paths an exception takes run on unwinding too, so those builds have
  # landing pads where the module has none.
  if(INSTRUMENTED AND name MATCHES "^(_Unwind_Resume|__gxx_personality_v0)$")
    continue()
  endif()
  math(EXPR outside "${outside} + 1")
  if(NOT name IN_LIST allowed)
    list(APPEND bad "${name}")
  endif()
endforeach()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "The module's library needs what neither the boot environment nor the C library provides:\n  ${text}\n(the list: ${LIST})")
endif()
message(STATUS "${outside} symbols from outside the module, each in ${LIST}")
