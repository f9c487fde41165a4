include(GoogleTest)

# zelhart_gtest(<name> LABEL <label> SOURCES <files...> [LIBS <libs...>] [ENV <VAR=value...>]
#               [TIMEOUT <seconds>])
# One GoogleTest executable; each of its tests becomes a ctest test carrying <label>, the name of the
# top-level folder under test, so that `ctest -L <label>` runs one subsystem alone.
function(zelhart_gtest name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT ARG_LABEL)
    message(FATAL_ERROR "zelhart_gtest(${name}) needs a LABEL")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENV}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# zelhart_test(<name> LABEL <label> COMMAND <cmd...> [TIMEOUT <s>] [ENV <VAR=value...>])
# A test that is a plain command (a script, a Python check): exit status 0 passes.
function(zelhart_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "COMMAND;ENV" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENV}")
endfunction()

# zelhart_add_subdirectories(): adds every folder beside the calling CMakeLists.txt that has a
# CMakeLists.txt of its own, so that a new component only needs its own folder.
function(zelhart_add_subdirectories)
  file(GLOB sub_dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${sub_dirs})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# The fuzz build (clang only, a build directory of its own): every library of the project is
# instrumented for libFuzzer's coverage and built with AddressSanitizer and UndefinedBehaviorSanitizer,
# so that a fuzz target sees inside the code it drives. Nothing but the fuzz targets is meant to be
# built there:
#   cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DZELHART_FUZZ=ON -DZELHART_BUILD_GUI=OFF
#   cmake --build build-fuzz -j2 --target fuzz
#   ctest --test-dir build-fuzz -L fuzz -j2 --output-on-failure
option(ZELHART_FUZZ "Build the libFuzzer targets (needs clang; use a build directory of its own)" OFF)
set(ZELHART_FUZZ_SECONDS 20 CACHE STRING "Length of each fuzz target's ctest run in seconds")
if(ZELHART_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZELHART_FUZZ needs CMAKE_C_COMPILER=clang and CMAKE_CXX_COMPILER=clang++")
  endif()
  if(ZELHART_SANITIZE OR ZELHART_TSAN)
    message(FATAL_ERROR "ZELHART_FUZZ brings its own sanitizers: leave ZELHART_SANITIZE and ZELHART_TSAN off")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzz)
endif()

# zelhart_fuzz(<name> LABEL <label> SOURCES <files...> CORPUS <dir> [LIBS <libs...>] [INCLUDES <dirs...>]
#              [DEFINES <definitions...>] [DEPENDS <targets...>] [MAX_LEN <bytes>]
#              [OPTIONS <libFuzzer options...>])
# One libFuzzer target (only with ZELHART_FUZZ), built by the target `fuzz`, and its ctest run with the
# labels <label> and fuzz: a fixed seed, ZELHART_FUZZ_SECONDS of fuzzing, 5 s an input at most, on a
# fresh copy of the seed corpus <dir> in the build directory (the source tree is never written); an
# input that fails lands beside it as <name>-crash-…, -timeout-…, -leak-… or -oom-….
# Run one for longer by hand:
#   cp -R <dir> /tmp/c && build-fuzz/bin/<name> -max_total_time=600 -timeout=5 -rss_limit_mb=2048 /tmp/c
function(zelhart_fuzz name)
  if(NOT ZELHART_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "LABEL;CORPUS;MAX_LEN" "SOURCES;LIBS;INCLUDES;DEFINES;DEPENDS;OPTIONS" ${ARGN})
  if(NOT ARG_LABEL OR NOT ARG_CORPUS)
    message(FATAL_ERROR "zelhart_fuzz(${name}) needs a LABEL and a CORPUS")
  endif()
  if(NOT ARG_MAX_LEN)
    set(ARG_MAX_LEN 4096)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/fuzz ${ARG_INCLUDES})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  add_dependencies(fuzz ${name})
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  # sh: the copy is made afresh, then the fuzzer runs on it (new inputs land in the copy).
  add_test(NAME ${name}
    COMMAND sh -c "rm -rf \"$1\" && cp -R \"$2\" \"$1\" && corpus=$1 && shift 2 && exec \"$@\" \"$corpus\""
            sh ${corpus} ${ARG_CORPUS} $<TARGET_FILE:${name}>
            -seed=1 -max_total_time=${ZELHART_FUZZ_SECONDS} -timeout=5 -rss_limit_mb=2048
            -max_len=${ARG_MAX_LEN} -print_final_stats=1 -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}-
            ${ARG_OPTIONS})
  math(EXPR timeout "${ZELHART_FUZZ_SECONDS} + 300")
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABEL};fuzz" TIMEOUT ${timeout}
    ENVIRONMENT "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endfunction()

# zelhart_build_date(SOURCE...): a reproducible build (SOURCE_DATE_EPOCH set, as packaging/build-deb.sh
# sets it) gives these sources ZELHART_BUILD_DATE ("Mmm dd yyyy") and ZELHART_BUILD_TIME ("hh:mm:ss"),
# that moment in UTC, for the build date their start lines print; without it they use the compiler's
# __DATE__ and __TIME__. Only the named sources see it, so a new moment recompiles nothing else.
function(zelhart_build_date)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    string(TIMESTAMP date "%b %d %Y" UTC)
    string(TIMESTAMP time "%H:%M:%S" UTC)
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_DEFINITIONS
                 ZELHART_BUILD_DATE="${date}" ZELHART_BUILD_TIME="${time}")
  endif()
endfunction()
