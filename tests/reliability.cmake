# The soak: 100,000 activation cycles in one process, run as one long program of the fuzz target's
# (tests/fuzz/fuzz_selection.cpp, compiled in); the sanitizers' leak check runs at its end.
add_executable(soak_tests soak_test.cpp)
target_include_directories(soak_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(soak_tests PRIVATE sw_core sw_sim sw_warnings GTest::gtest_main)
add_test(NAME soak COMMAND soak_tests)
set_tests_properties(soak PROPERTIES LABELS "soak" TIMEOUT 300)
