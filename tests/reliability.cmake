# Reliability tests: a long in-process soak and whole-process fault tests. Included from
# tests/CMakeLists.txt, after the targets it uses (selection-watcher-sim, support.cpp, child.cpp).

# 100,000 activation cycles in one process; the sanitizers' leak check runs at its end.
add_executable(soak_tests soak_test.cpp support.cpp)
target_link_libraries(soak_tests PRIVATE sw_core sw_sim sw_warnings GTest::gtest_main
                                         nlohmann_json::nlohmann_json)
add_test(NAME soak COMMAND soak_tests)
set_tests_properties(soak PROPERTIES LABELS "soak" TIMEOUT 300)

# The test executable as a child of a hostile parent. Labelled "process" too, so that every stage
# that runs the whole-process tests (the thread sanitizer's among them) runs these as well.
add_executable(fault_tests faults_test.cpp child.cpp)
target_include_directories(fault_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(fault_tests PRIVATE sw_warnings GTest::gtest_main Threads::Threads)
target_compile_definitions(fault_tests PRIVATE SW_SIM_EXE="$<TARGET_FILE:selection-watcher-sim>")
add_dependencies(fault_tests selection-watcher-sim)
add_test(NAME faults COMMAND fault_tests)
set_tests_properties(faults PROPERTIES LABELS "process;faults" TIMEOUT 180)
