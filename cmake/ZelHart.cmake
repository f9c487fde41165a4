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
