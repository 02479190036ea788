# Shared target helpers: every folder of our own code builds one library from the
# sources it holds, so a new file needs no build edit.

set(VESKAR_WARNINGS -Wall -Wextra -Wpedantic -Wshadow
    -Wimplicit-fallthrough -Werror
    # GCC 12 misreports coroutine frames freed by their promise type.
    -Wno-mismatched-new-delete)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 at -O3 reports impossible sizes in inlined std::string and
  # std::vector copies (ordinary concatenations and inserts); these flow
  # checks are fixed in GCC 13 and only cry wolf here.
  list(APPEND VESKAR_WARNINGS -Wno-restrict -Wno-stringop-overread -Wno-stringop-overflow)
endif()

add_library(veskar_options INTERFACE)
target_compile_options(veskar_options INTERFACE ${VESKAR_WARNINGS})
target_include_directories(veskar_options INTERFACE ${PROJECT_SOURCE_DIR})
# Each thread keeps this many freed coroutine frames and operation states of
# each kind for reuse (Asio keeps 2): a packet batch passes through a few
# nested coroutines at once, and each must find its frame kept to allocate
# nothing. Every translation unit must agree on it.
target_compile_definitions(veskar_options INTERFACE
  BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_DISABLE_BOOST_COROUTINE
  BOOST_ASIO_RECYCLING_ALLOCATOR_CACHE_SIZE=8)
if(VESKAR_FUZZ)
  # Coverage for libFuzzer in every library the fuzzers link.
  # clang 14 cannot emit -fsanitize=function checks for coroutines.
  set(_fuzz -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function
      -fno-omit-frame-pointer)
  target_compile_options(veskar_options INTERFACE ${_fuzz})
  target_link_options(veskar_options INTERFACE -fsanitize=address,undefined)
elseif(VESKAR_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer)
  target_compile_options(veskar_options INTERFACE ${_san})
  target_link_options(veskar_options INTERFACE ${_san})
elseif(VESKAR_TSAN)
  # Asio fences its handler memory; TSan cannot see fences and GCC says so.
  set(_tsan -fsanitize=thread -fno-omit-frame-pointer)
  target_compile_options(veskar_options INTERFACE -Wno-tsan)
  target_compile_options(veskar_options INTERFACE ${_tsan})
  target_link_options(veskar_options INTERFACE ${_tsan})
endif()

# veskar_library(NAME DEPS dep...) - a library of every *.cpp in the calling folder.
function(veskar_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_link_libraries(${name} PUBLIC veskar_options ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE veskar_options ${ARG_DEPS})
  endif()
endfunction()

# veskar_test(NAME LABEL label DEPS dep...) - one GoogleTest program of every *.cpp
# in the calling folder, each test case registered with CTest under the label.
function(veskar_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "DEPS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE veskar_options ${ARG_DEPS}
    GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "${name}."
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
  veskar_label_needs(${ARG_LABEL} ${name})
endfunction()

# veskar_label_needs(LABEL target...) - the targets the tests of a label run
# join `tests_<label>`, so a build of only those tests builds what they need.
function(veskar_label_needs label)
  if(NOT TARGET tests_${label})
    add_custom_target(tests_${label})
  endif()
  add_dependencies(tests_${label} ${ARGN})
endfunction()

# Adds every direct subfolder that has a CMakeLists.txt.
function(veskar_subdirectories)
  file(GLOB _children LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(_child ${_children})
    if(IS_DIRECTORY ${_child} AND EXISTS ${_child}/CMakeLists.txt)
      add_subdirectory(${_child})
    endif()
  endforeach()
endfunction()

# veskar_benchmark(NAME SOURCES src... DEPS dep...) - a Google Benchmark program.
function(veskar_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE veskar_options ${ARG_DEPS} benchmark::benchmark)
endfunction()

# veskar_fuzzer(NAME SOURCES src... DEPS dep...) - a libFuzzer target (clang only),
# part of the `fuzzers` target.
function(veskar_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE veskar_options ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${name})
endfunction()
