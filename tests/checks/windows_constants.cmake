# Turns windows_constants.txt (one check a line; its comment lines say what
# it pins and why) into a C++ source of static_asserts.
#
# Included from a CMakeLists.txt, this defines
#   tavo_windows_constants_check(<target> <flags target>)
# which generates the source into the build directory at build time and
# compiles it as an object library with the given flags, so both the
# simulation build and the native kernel build check the same data.
# Run as `cmake -DDATA=<txt> -DOUT=<cpp> -P windows_constants.cmake` it does
# the generating. Each check is preceded by a #line directive, so a failing
# check is reported at its line of the data file.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  function(tavo_windows_constants_check target flags)
    set(data ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows_constants.txt)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp)
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DDATA=${data} -DOUT=${out} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      DEPENDS ${data} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      COMMENT "Generating the Windows constants checks for ${target}"
      VERBATIM)
    add_library(${target} OBJECT ${out})
    target_link_libraries(${target} PRIVATE ${flags})
  endfunction()
  return()
endif()

cmake_minimum_required(VERSION 3.25)
if(NOT DATA OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DDATA=<windows_constants.txt> -DOUT=<source.cpp> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

set(ident "[A-Za-z_][A-Za-z0-9_]*")
set(number "(0x[0-9A-Fa-f]+|[0-9]+)")

# The data file keeps empty lines (policy CMP0007), so the index is the
# line number.
file(STRINGS "${DATA}" lines)
set(text "// Generated from ${DATA} by windows_constants.cmake; edit the data file.\n")
string(APPEND text "#include <ntifs.h>\n#include <fltKernel.h>\n#include <mountdev.h>\n\n")
# WCHAR is 16-bit in both builds (-fshort-wchar), so wide literals are UTF-16
# code units: the driver's L\"...\" names and lengths rely on it.
string(APPEND text "static_assert(L'\\xFFFF' == 0xFFFF && sizeof(L\"ab\") == 6, \"wide literals are UTF-16 code units\");\n")

set(line_no 0)
set(count 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
  list(POP_FRONT fields kind subject)
  set(where "${DATA}:${line_no}")

  set(value "")
  if(kind MATCHES "^(value|status|size|offset)$")
    list(POP_FRONT fields value)
    if(NOT value MATCHES "^${number}$")
      message(FATAL_ERROR "${where}: '${value}' is not a decimal or 0x hexadecimal number")
    endif()
  elseif(NOT kind MATCHES "^(signed|unsigned)$")
    message(FATAL_ERROR "${where}: unknown kind '${kind}'")
  endif()
  set(derived OFF)
  set(sim_only OFF)
  foreach(tag IN LISTS fields)
    if(tag STREQUAL "derived")
      set(derived ON)
    elseif(tag STREQUAL "sim-only")
      set(sim_only ON)
    else()
      message(FATAL_ERROR "${where}: unknown tag '${tag}'")
    endif()
  endforeach()

  if(kind STREQUAL "offset")
    if(NOT subject MATCHES "^(${ident})\\.(${ident}(\\.${ident})*)$")
      message(FATAL_ERROR "${where}: an offset names TYPE.MEMBER, not '${subject}'")
    endif()
    set(type "${CMAKE_MATCH_1}")
    set(member "${CMAKE_MATCH_2}")
  elseif(NOT subject MATCHES "^${ident}$")
    message(FATAL_ERROR "${where}: '${subject}' is not a name")
  endif()
  if(derived AND NOT kind STREQUAL "offset")
    message(FATAL_ERROR "${where}: only an offset can be tagged derived")
  endif()

  # One check per subject and kind: a second line would be a copy, or a
  # contradiction the compiler would report less plainly.
  set(key "${kind}:${subject}")
  if(DEFINED seen_${key})
    message(FATAL_ERROR "${where}: ${kind} ${subject} is already checked at line ${seen_${key}}")
  endif()
  set(seen_${key} ${line_no})

  if(kind STREQUAL "value")
    set(check "static_assert((unsigned long long)(${subject}) == ${value}ULL, \"${subject} differs from Windows\");")
  elseif(kind STREQUAL "status")
    set(check "static_assert(sizeof(${subject}) == sizeof(NTSTATUS) && (ULONG)(${subject}) == ${value}UL, \"${subject} differs from Windows\");")
  elseif(kind STREQUAL "size")
    set(check "static_assert(sizeof(${subject}) == ${value}, \"sizeof(${subject}) differs from Windows\");")
  elseif(kind STREQUAL "offset")
    set(check "static_assert(__builtin_offsetof(${type}, ${member}) == ${value}, \"offset of ${subject} differs from Windows\");")
  elseif(kind STREQUAL "signed")
    set(check "static_assert((${subject})-1 < 0, \"${subject} is signed on Windows\");")
  else()
    set(check "static_assert((${subject})-1 > 0, \"${subject} is unsigned on Windows\");")
  endif()
  set(check "#line ${line_no} \"${DATA}\"\n${check}\n")
  if(derived)
    # offsetof into a type with a C++ base is formally undefined and warned
    # about; the layout is still the one Windows reads.
    set(check "#pragma GCC diagnostic push\n#pragma GCC diagnostic ignored \"-Winvalid-offsetof\"\n${check}#pragma GCC diagnostic pop\n")
  endif()
  if(sim_only)
    set(check "#ifndef __MINGW32__\n${check}#endif\n")
  endif()
  string(APPEND text "${check}")
  math(EXPR count "${count} + 1")
endforeach()

if(count EQUAL 0)
  message(FATAL_ERROR "${DATA}: no checks")
endif()

file(WRITE "${OUT}" "${text}")
