# Helpers shared by every folder's CMakeLists.txt.
include_guard(GLOBAL)
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

# A sanitizer that slows every test down (ThreadSanitizer) gives its preset a scale: every test's
# time limit is multiplied by it.
set(FERROWEN_TEST_TIME_SCALE 1 CACHE STRING "Multiplies every test's time limit (whole number)")

# What every test's environment gets besides (an ENVIRONMENT_MODIFICATION entry): under
# AddressSanitizer, the leak checker's suppressions (tests/lsan.supp), which no program carries.
set(FERROWEN_TEST_ENVIRONMENT "")
if(FERROWEN_SANITIZE MATCHES "address")
  set(FERROWEN_TEST_ENVIRONMENT "LSAN_OPTIONS=set:suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp")
endif()

# The time limit of a test, scaled.
function(ferrowen_test_timeout out seconds)
  math(EXPR _t "${seconds} * ${FERROWEN_TEST_TIME_SCALE}")
  set(${out} ${_t} PARENT_SCOPE)
endfunction()

# Scales the time limits of the tests the calling folder adds with add_test, and gives them the
# environment every test has, once its CMakeLists.txt has run to its end (ferrowen_tests does both
# for its own as it makes them).
function(ferrowen_scale_test_timeouts_at_end)
  get_directory_property(_scheduled FERROWEN_TIMEOUTS_SCALED)
  if(NOT _scheduled)
    set_directory_properties(PROPERTIES FERROWEN_TIMEOUTS_SCALED ON)
    cmake_language(DEFER CALL _ferrowen_scale_test_timeouts)
  endif()
endfunction()
function(_ferrowen_scale_test_timeouts)
  get_directory_property(_tests TESTS)
  foreach(_t ${_tests})
    get_test_property(${_t} TIMEOUT _limit)
    if(_limit)
      ferrowen_test_timeout(_limit ${_limit})
      set_tests_properties(${_t} PROPERTIES TIMEOUT ${_limit})
    endif()
    if(FERROWEN_TEST_ENVIRONMENT)
      set_property(TEST ${_t} APPEND PROPERTY ENVIRONMENT_MODIFICATION "${FERROWEN_TEST_ENVIRONMENT}")
    endif()
    # A test that waits on its own (the browser suites) scales its waits by it too.
    if(NOT FERROWEN_TEST_TIME_SCALE EQUAL 1)
      set_property(TEST ${_t} APPEND PROPERTY ENVIRONMENT
                   "FERROWEN_TEST_TIME_SCALE=${FERROWEN_TEST_TIME_SCALE}")
    endif()
  endforeach()
endfunction()

# ferrowen_library(<target> [DEPS <targets or imported libs>...])
# A library made of every .cpp/.c in the calling folder (and its subfolders): static, or shared
# with FERROWEN_SHARED_LIBS. The include root is the repository root, so headers are named by their
# path: "platform/foundation/RunLoop.h".
function(ferrowen_library target)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  if(FERROWEN_SHARED_LIBS)
    add_library(${target} SHARED ${_srcs})
    # Nothing is exported selectively, so no <target>_EXPORTS macro: the objects compile as the
    # static build's do (and a compiler cache serves both).
    set_target_properties(${target} PROPERTIES DEFINE_SYMBOL "")
  else()
    add_library(${target} STATIC ${_srcs})
  endif()
  target_include_directories(${target} PUBLIC "${CMAKE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/generated")
  target_link_libraries(${target} PUBLIC Threads::Threads ${ARG_DEPS})
endfunction()

# ferrowen_tests([LIBS <targets>...] [LABELS <labels>...] [TIMEOUT <s>])
# One test program per *_test.cpp in the calling folder; GoogleTest cases become CTest tests.
function(ferrowen_tests)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  ferrowen_test_timeout(ARG_TIMEOUT ${ARG_TIMEOUT})
  file(GLOB _tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  file(RELATIVE_PATH _rel "${CMAKE_SOURCE_DIR}/tests" "${CMAKE_CURRENT_SOURCE_DIR}")
  string(REPLACE "/" "_" _prefix "${_rel}")
  set(_environment "")
  if(FERROWEN_TEST_ENVIRONMENT)
    set(_environment ENVIRONMENT_MODIFICATION "${FERROWEN_TEST_ENVIRONMENT}")
  endif()
  foreach(_t ${_tests})
    get_filename_component(_name "${_t}" NAME_WE)
    set(_exe "${_prefix}_${_name}")
    add_executable(${_exe} "${_t}" $<TARGET_OBJECTS:test_workers_end>)
    target_link_libraries(${_exe} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${_exe} PRIVATE "${CMAKE_SOURCE_DIR}")
    target_compile_definitions(${_exe} PRIVATE
      FERROWEN_SOURCE_DIR="${CMAKE_SOURCE_DIR}" FERROWEN_BINARY_DIR="${CMAKE_BINARY_DIR}")
    gtest_discover_tests(${_exe}
      DISCOVERY_MODE PRE_TEST
      # Listing a sanitizer build's tests takes far more than the default 5 s on a busy machine.
      DISCOVERY_TIMEOUT 120
      TEST_PREFIX "${_prefix}."
      PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
      ENVIRONMENT "FERROWEN_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${_environment})
  endforeach()
endfunction()

# ferrowen_link_into_program(<target>): the ferrowen program links this library.
function(ferrowen_link_into_program target)
  target_link_libraries(ferrowen_app_libs INTERFACE ${target})
endfunction()

# ferrowen_fuzz([LIBS <targets>...] [RUNS <n>])
# One fuzz target per *_fuzz.cpp (defining LLVMFuzzerTestOneInput). With FERROWEN_FUZZ (clang) it is
# a libFuzzer program; otherwise a driver runs it over its seed corpus (corpus/<name>/) and a
# bounded number of generated inputs, as a CTest test labelled "fuzz".
function(ferrowen_fuzz)
  cmake_parse_arguments(ARG "" "RUNS" "LIBS" ${ARGN})
  if(NOT ARG_RUNS)
    set(ARG_RUNS 20000)
  endif()
  ferrowen_scale_test_timeouts_at_end()
  file(GLOB _targets CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_fuzz.cpp")
  foreach(_f ${_targets})
    get_filename_component(_name "${_f}" NAME_WE)
    if(FERROWEN_FUZZ)
      add_executable(${_name} "${_f}")
      target_compile_options(${_name} PRIVATE -fsanitize=fuzzer)
      target_link_options(${_name} PRIVATE -fsanitize=fuzzer)
    else()
      add_executable(${_name} "${_f}" "${CMAKE_SOURCE_DIR}/fuzz/driver.cpp")
      # The run gets a temporary folder of its own, which it must leave empty: a target that
      # leaves files behind fills the disk of a long fuzzing run.
      add_test(NAME fuzz.${_name}
               COMMAND /bin/sh -c
               "tmp=$(mktemp -d) || exit 1; TMPDIR=\"$tmp\" \"$@\"; rc=$?; \
                if [ -n \"$(ls -A \"$tmp\")\" ]; then \
                  echo \"left behind in TMPDIR:\"; (cd \"$tmp\" && find .); rc=1; fi; \
                rm -rf \"$tmp\"; exit $rc"
               fuzz-run $<TARGET_FILE:${_name}> --runs=${ARG_RUNS}
               "${CMAKE_CURRENT_SOURCE_DIR}/corpus/${_name}")
      set_tests_properties(fuzz.${_name} PROPERTIES LABELS fuzz TIMEOUT 300)
    endif()
    target_include_directories(${_name} PRIVATE "${CMAKE_SOURCE_DIR}")
    target_link_libraries(${_name} PRIVATE ${ARG_LIBS})
  endforeach()
endfunction()

# ferrowen_bench([LIBS <targets>...]): one Google Benchmark program per *_bench.cpp.
function(ferrowen_bench)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _benches CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_bench.cpp")
  foreach(_b ${_benches})
    get_filename_component(_name "${_b}" NAME_WE)
    add_executable(bench_${_name} "${_b}")
    target_include_directories(bench_${_name} PRIVATE "${CMAKE_SOURCE_DIR}")
    target_link_libraries(bench_${_name} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main)
  endforeach()
endfunction()

# Adds every subfolder below <dir> that has a CMakeLists.txt (tests, fuzz and bench trees).
function(ferrowen_add_tree dir)
  file(GLOB_RECURSE _lists CONFIGURE_DEPENDS "${dir}/*/CMakeLists.txt")
  list(SORT _lists)
  foreach(_l ${_lists})
    get_filename_component(_d "${_l}" DIRECTORY)
    add_subdirectory(${_d})
  endforeach()
endfunction()

# ferrowen_peer_test(<name> PEERS <files that must exist>... COMMAND <command>... [LABELS ...])
# A CTest test that needs peers found at configure time. When one is missing the test is still
# registered: it fails under FERROWEN_REQUIRE_PEERS (CI) and is reported skipped elsewhere.
function(ferrowen_peer_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "PEERS;COMMAND;LABELS" ${ARGN})
  ferrowen_scale_test_timeouts_at_end()
  set(_missing "")
  foreach(_p ${ARG_PEERS})
    if(NOT _p OR NOT EXISTS "${_p}")
      list(APPEND _missing "${_p}")
    endif()
  endforeach()
  if(_missing)
    string(REPLACE ";" ", " _missing "${_missing}")
    add_test(NAME ${name} COMMAND /bin/sh -c
             "echo \"missing peer: \$0 (scripts/setup.sh installs it)\"; \
              case \"\$FERROWEN_REQUIRE_PEERS\" in ''|0) exit 77;; *) exit 1;; esac"
             "${_missing}")
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
