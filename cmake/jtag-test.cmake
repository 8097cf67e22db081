# add_jtag_test(NAME <target> SOURCES <files...> [LIBS <libs...>] [E2E])
# A GoogleTest program of the JTAG UART core or its host driver, labelled "unit" or "e2e".
# The folders that hold them add the label "jtag" to all their tests (the directory property
# LABELS), so "ctest -L jtag" runs them alone.
function(add_jtag_test)
  cmake_parse_arguments(T "E2E" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main
                        project_warnings)
  set(label unit)
  set(timeout 60)
  if(T_E2E)
    set(label e2e)
    set(timeout 180)
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT ${timeout})
endfunction()
