# Fails when a source file reaches a system header after one of its own
# `#pragma GCC target` lines.
#
# A standard inline function first parsed under a target pragma is compiled
# for that target, and the linker may keep that copy for every caller: a
# processor without the instructions then crashes in, say, std::sort. Every
# system header must therefore be included before the first target pragma.
#
#   cmake -DCXX=<compiler> -DINCLUDE=<dir> -DSOURCES=<a.cpp;b.cpp> -P check_target_includes.cmake
#
# The check reads the preprocessor's output, so it follows includes through
# the project's own headers. Target pragmas inside system headers (the
# intrinsics headers have many) do not count.
cmake_minimum_required(VERSION 3.20)

set(_failed 0)
foreach(_src IN LISTS SOURCES)
  file(READ "${_src}" _text)
  if(NOT _text MATCHES "pragma GCC target")
    continue()
  endif()
  execute_process(COMMAND "${CXX}" -E -std=c++20 "-I${INCLUDE}" "${_src}"
                  OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(SEND_ERROR "cannot preprocess ${_src}: ${_err}")
    set(_failed 1)
    continue()
  endif()
  # Line markers (# line "file" flags) and target pragmas, in order. Flag 1
  # enters a file, 3 marks a system header.
  string(REGEX MATCHALL "\n# [0-9]+ \"[^\"\n]*\"[ 0-9]*|\n#pragma GCC target[^\n]*" _events "${_out}")
  set(_in_system 0)
  set(_armed "")
  foreach(_e IN LISTS _events)
    if(_e MATCHES "^\n#pragma")
      if(NOT _in_system AND NOT _armed)
        string(STRIP "${_e}" _armed)
      endif()
    elseif(_e MATCHES "^\n# [0-9]+ \"([^\"]*)\"(.*)$")
      set(_file "${CMAKE_MATCH_1}")
      set(_flags " ${CMAKE_MATCH_2} ")
      if(_flags MATCHES " 3 ")
        if(_armed AND NOT _in_system AND _flags MATCHES " 1 ")
          message(NOTICE "late system header: ${_file} after `${_armed}` in ${_src}; "
                         "include it before the first target pragma")
          set(_failed 1)
          break()
        endif()
        set(_in_system 1)
      else()
        set(_in_system 0)
      endif()
    endif()
  endforeach()
endforeach()
if(_failed)
  message(FATAL_ERROR "system headers included after a target pragma")
endif()
