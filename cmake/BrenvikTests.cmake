# Test executables. Every test source includes GoogleTest and most include
# nlohmann/json and a good part of the standard library; under the sanitizers
# most of a test file's compile time goes into those headers and into code
# generation for the templates they instantiate again in every file. So the
# test executables share one precompiled header, and each is compiled as a unity
# build in small batches (a failing batch names few files; configure with
# -DBRENVIK_TEST_UNITY=OFF to compile test files one by one).

option(BRENVIK_TEST_UNITY "Compile each test executable as a unity build" ON)
set(BRENVIK_TEST_UNITY_BATCH 8 CACHE STRING "Test sources per unity translation unit")

# Test files compiled alone: they define helpers of the same name as another
# file of their executable, or include two headers that each define a struct of
# the same name (brenvik::SeenId in reliability/ and protocol/records/,
# GroupInfoMemberPayload and UserGroupSummaryPayload in protocol/events/ and
# protocol/records/), which one translation unit cannot hold.
#
# The Kesu tests stay out of unity builds: they instantiate the B-tree and rope
# templates for many element types, and GCC's optimiser grows faster than
# linearly with such a translation unit (under the sanitizers on two cores its
# four batches took 1,554 s, against 693 s for its files compiled one by one).
# Their files also include kesu/delta/ and kesu/richtext/ headers that both
# define TextChunk and AnchorType.
# The MLS-layer, store and C-interface tests share short helper names across
# files.
set(BRENVIK_TEST_UNITY_OFF test_kesu test_mls test_store test_bindings)
set(BRENVIK_TEST_UNITY_SKIP
  bindings/received_message_json_test.cpp
  core/sub_records_golden_test.cpp
  protocol/records_data_value_test.cpp
  protocol/records_golden_test.cpp
  protocol/records_group_golden_test.cpp
  protocol/records_key_package_test.cpp
  protocol/records_media_rich_extras_test.cpp
  protocol/records_relay_group_test.cpp
  protocol/records_small_test.cpp
  protocol/records_sync_body_test.cpp
  protocol/records_welcome_message_test.cpp
  rfc9420/group_vectors_test.cpp
  rfc9420/key_schedule_test.cpp
  rfc9420/message_protection_test.cpp
  rfc9420/mls_vectors_test.cpp
  rfc9420/passive_client_test.cpp
  rfc9420/secret_tree_test.cpp
  rfc9420/stored_group_test.cpp
  transport/message_json_test.cpp
  transport/receive_step_test.cpp
  transport/transports_test.cpp)

add_library(brenvik_test_support INTERFACE)
target_include_directories(brenvik_test_support INTERFACE ${CMAKE_SOURCE_DIR}/tests/common)
target_compile_definitions(brenvik_test_support INTERFACE
  BRENVIK_VECTORS_DEFAULT="${BRENVIK_VECTORS_DEFAULT}"
  BRENVIK_STANDARDS_DEFAULT="${BRENVIK_STANDARDS_DEFAULT}")
target_link_libraries(brenvik_test_support INTERFACE
  GTest::gtest GTest::gmock GTest::gtest_main nlohmann_json::nlohmann_json)

# The owner of the shared precompiled header: an executable like the tests, so
# that it is compiled with the same code-model flags (-fPIE) as they are.
add_executable(brenvik_test_pch ${CMAKE_SOURCE_DIR}/cmake/test_pch_main.cpp)
target_link_libraries(brenvik_test_pch PRIVATE brenvik_test_support)
target_precompile_headers(brenvik_test_pch PRIVATE
  <gtest/gtest.h> <gmock/gmock.h> <nlohmann/json.hpp>
  <algorithm> <array> <chrono> <cstdint> <cstring> <filesystem> <fstream> <functional>
  <map> <memory> <optional> <set> <span> <sstream> <string> <string_view>
  <unordered_map> <utility> <variant> <vector>)

# brenvik_add_test(<name> SOURCES <file>... LIBS <target>...)
# One test executable, its tests found by GoogleTest discovery when ctest runs.
function(brenvik_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} brenvik_test_support)
  target_precompile_headers(${name} REUSE_FROM brenvik_test_pch)
  if(BRENVIK_TEST_UNITY AND NOT name IN_LIST BRENVIK_TEST_UNITY_OFF)
    set_target_properties(${name} PROPERTIES
      UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${BRENVIK_TEST_UNITY_BATCH})
    foreach(f IN LISTS BRENVIK_TEST_UNITY_SKIP)
      set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/${f}
        TARGET_DIRECTORY ${name} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endforeach()
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "BRENVIK_VECTORS=${BRENVIK_VECTORS_DEFAULT}")
endfunction()

# One test executable per area folder (tests/<dir>/), linked to the library that
# compiles src/<dir>/.
function(brenvik_add_area_tests)
  get_property(pairs GLOBAL PROPERTY BRENVIK_AREA_DIRS)
  foreach(entry IN LISTS pairs)
    string(REPLACE "=" ";" pair ${entry})
    list(GET pair 0 dir)
    list(GET pair 1 lib)
    file(GLOB_RECURSE tsrcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
    if(tsrcs)
      brenvik_add_test(test_${dir} SOURCES ${tsrcs} LIBS ${lib})
    endif()
  endforeach()
endfunction()
