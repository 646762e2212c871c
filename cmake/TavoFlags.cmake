# Compile discipline shared by every target.
#
# WCHAR is wchar_t and must be 16-bit everywhere (driver, simulation, client,
# tests), as on Windows; -fshort-wchar applies to the whole build. Linux's
# wide-character library (wcs*, wprintf, std::wstring streams) assumes a
# 32-bit wchar_t and must never see a WCHAR string.

option(TAVO_BUILD_BENCH "Build the Google Benchmark programs" ON)
set(TAVO_SANITIZE "" CACHE STRING "Sanitizer set: '', 'address' (ASan+UBSan), 'thread' or 'fuzzer' (ASan+UBSan+libFuzzer, clang)")
option(TAVO_COVERAGE "Instrument everything for gcov line and branch coverage" OFF)

set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# Warnings are errors under gcc, the project's compiler. The fuzz build is
# clang's, whose extra warnings on that code are shown but do not stop it.
set(TAVO_WERROR -Werror)
if(TAVO_SANITIZE STREQUAL "fuzzer")
  set(TAVO_WERROR "")
endif()
set(CMAKE_CXX_EXTENSIONS OFF)

# Flags for the simulation, client, tools and tests: C++20 with the STL.
add_library(tavo_host_flags INTERFACE)
target_compile_features(tavo_host_flags INTERFACE cxx_std_20)
target_compile_options(tavo_host_flags INTERFACE -fshort-wchar -Wall -Wextra ${TAVO_WERROR})

# Flags for driver translation units: kernel C++17, no exceptions, no RTTI,
# and only the kernel headers (the simulation's WDK-compatible headers, our
# Filter Manager declarations and the shared wire formats).
add_library(tavo_driver_flags INTERFACE)
target_compile_options(tavo_driver_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-std=c++17 -fno-exceptions -fno-rtti -nostdinc++>
  -nostdinc -fshort-wchar -Wall -Wextra ${TAVO_WERROR})
target_include_directories(tavo_driver_flags INTERFACE
  ${PROJECT_SOURCE_DIR}/sim/include
  ${PROJECT_SOURCE_DIR}/platform/include
  ${PROJECT_SOURCE_DIR}/protocol)

# The sanitized builds also check the standard library's own preconditions
# (an index past a vector's end, an empty optional dereferenced): user-mode
# code only, the driver is built without the standard library.
if(TAVO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
  add_link_options(-fsanitize=address,undefined)
elseif(TAVO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(TAVO_SANITIZE STREQUAL "fuzzer")
  # Everything gets libFuzzer's coverage instrumentation; only the fuzz
  # targets link its main (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT TAVO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TAVO_SANITIZE must be '', 'address', 'thread' or 'fuzzer'")
endif()

if(TAVO_COVERAGE)
  # The simulation runs threads; without atomic updates their counters race,
  # and a line run from two threads at once can end with a wrong or negative
  # count, which lcov reports as never reached.
  add_compile_options(--coverage -fprofile-update=atomic -O0)
  add_link_options(--coverage)
endif()
