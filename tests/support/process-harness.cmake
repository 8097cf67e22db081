# process_harness: CHILD_PROCESS, the one way tests and benchmarks run child processes. Included
# from tests/support and from bench, which builds without the tests.
include_guard(GLOBAL)
add_library(process_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/process-harness.cpp)
target_include_directories(process_harness PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(process_harness PRIVATE project_warnings)
# The system's part: process-harness-posix.cpp here, a -win32.cpp beside it for Windows.
if(WIN32)
  # A body runs in the test program started again for the current test: GoogleTest names it.
  target_sources(process_harness PRIVATE ${CMAKE_CURRENT_LIST_DIR}/process-harness-win32.cpp)
  target_link_libraries(process_harness PRIVATE GTest::gtest)
else()
  target_sources(process_harness PRIVATE ${CMAKE_CURRENT_LIST_DIR}/process-harness-posix.cpp)
  target_link_libraries(process_harness PRIVATE util)
endif()
