# The Windows backend over UI Automation and Win32, and the product executable built on it.
# Included from the top-level CMakeLists.txt on Windows (MSVC, or mingw-w64 cross-building).
add_library(sw_uia STATIC
  ${CMAKE_CURRENT_LIST_DIR}/accessibility.cpp
  ${CMAKE_CURRENT_LIST_DIR}/identity.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/runloop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workspace.cpp)
target_include_directories(sw_uia PUBLIC ${PROJECT_SOURCE_DIR})
# Exactly the system libraries the backend calls into: COM (and IID_IUnknown), BSTR and SAFEARRAY,
# windows and hooks.
target_link_libraries(sw_uia PUBLIC sw_posix ole32 oleaut32 uuid user32 PRIVATE sw_warnings)

add_executable(selection-watcher ${PROJECT_SOURCE_DIR}/app/main.cpp)
target_link_libraries(selection-watcher PRIVATE sw_core sw_uia sw_posix sw_warnings)
install(TARGETS selection-watcher RUNTIME DESTINATION bin)

if(BUILD_TESTING)
  # The backend over a stand-in for UI Automation, and the parts that need none, so that Wine runs
  # them too.
  add_executable(uia_tests ${PROJECT_SOURCE_DIR}/tests/uia/backend_test.cpp
                           ${PROJECT_SOURCE_DIR}/tests/uia/identity_test.cpp
                           ${PROJECT_SOURCE_DIR}/tests/uia/loop_test.cpp)
  target_link_libraries(uia_tests PRIVATE sw_uia sw_warnings GTest::gtest_main)
  add_test(NAME uia COMMAND uia_tests)
  set_tests_properties(uia PROPERTIES LABELS "unit" TIMEOUT 120)
endif()
