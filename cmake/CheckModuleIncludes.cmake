cmake_minimum_required(VERSION 3.25)
# Fails when a source of the module (ROOT) includes anything but bootenv/
# and the C/C++ standard library.
# Run as a script (-P), where IN_LIST needs the policy set.
cmake_policy(SET CMP0057 NEW)
set(allowed
  algorithm array atomic bit cassert cctype cerrno cfloat charconv cinttypes
  climits cmath cstdarg cstddef cstdint cstdio cstdlib cstring ctime cwchar
  limits new numeric optional string string_view type_traits utility
  assert.h ctype.h errno.h float.h inttypes.h limits.h math.h stdarg.h
  stddef.h stdint.h stdio.h stdlib.h string.h time.h)
file(GLOB_RECURSE sources ${ROOT}/*.cpp ${ROOT}/*.h ${ROOT}/*.hpp ${ROOT}/*.c)
set(bad "")
foreach(src IN LISTS sources)
  file(STRINGS ${src} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
      set(name ${CMAKE_MATCH_1})
      if(NOT name IN_LIST allowed)
        list(APPEND bad "${src}: <${name}>")
      endif()
    elseif(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(name ${CMAKE_MATCH_1})
      if(NOT name MATCHES "^bootenv/" AND NOT name MATCHES "^update/")
        list(APPEND bad "${src}: \"${name}\"")
      endif()
    else()
      list(APPEND bad "${src}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "The module may include only bootenv/ and the standard library:\n  ${text}")
endif()
