# A precompiled GoogleTest header for the tests, built with g++.
#
# Every test source includes <gtest/gtest.h>, over 100,000 lines once
# preprocessed, and parsing it was the largest part of compiling most tests.
# One precompiled header holds it, built once and shared (REUSE_FROM) by every
# target that links GoogleTest. It holds nothing else: g++ loads the whole
# precompiled file into every source that uses it (about 100 MB with debug
# information), so a header that only some sources need, such as
# nlohmann/json, costs the others more to load than it saves them.
#
# clockramp_precompile_headers() applies it to every test target the project
# defines, so new test binaries get it without being named here. Not for
# clang builds (fuzz, coverage). -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON turns it
# off (scripts/lint.sh does, for a compile database that clang-tidy can read).

function(clockramp_pch_collect_targets dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    clockramp_pch_collect_targets("${sub}" sub_targets)
    list(APPEND targets ${sub_targets})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(clockramp_precompile_headers)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  find_package(GTest REQUIRED)
  set(stub "${PROJECT_BINARY_DIR}/clockramp_pch_tests.cpp")
  file(GENERATE OUTPUT "${stub}" CONTENT "// Builds the precompiled header of the tests.\n")
  add_library(clockramp_pch_tests OBJECT "${stub}")
  target_link_libraries(clockramp_pch_tests PRIVATE GTest::gtest)
  target_precompile_headers(clockramp_pch_tests PRIVATE <gtest/gtest.h>)

  clockramp_pch_collect_targets("${PROJECT_SOURCE_DIR}" targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "EXECUTABLE" OR target STREQUAL "clockramp_pch_tests")
      continue()
    endif()
    get_target_property(links ${target} LINK_LIBRARIES)
    if(links MATCHES "GTest::")
      target_precompile_headers(${target} REUSE_FROM clockramp_pch_tests)
    endif()
  endforeach()
endfunction()
