# The Linux desktop backend over AT-SPI2, and the product executable built on it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SW_ATSPI REQUIRED IMPORTED_TARGET atspi-2 glib-2.0 gobject-2.0 dbus-1 x11 xi)

add_library(sw_atspi STATIC
  platform/atspi/accessibility.cpp
  platform/atspi/runloop.cpp
  platform/atspi/workspace.cpp
  platform/atspi/text.cpp
  platform/atspi/identity.cpp
  platform/atspi/display.cpp)
target_include_directories(sw_atspi PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(sw_atspi PUBLIC sw_posix PkgConfig::SW_ATSPI Threads::Threads
                               PRIVATE sw_warnings)

add_executable(selection-watcher app/main.cpp)
target_link_libraries(selection-watcher PRIVATE sw_core sw_atspi sw_posix sw_warnings)
# The C++ runtime is the system's shared one (libstdc++ and libgcc_s, which go together). Linked
# in from Debian 12's GCC, it would call what only newer glibc has (random_device's arc4random,
# glibc 2.36) and the executable would not start on Ubuntu 22.04, whose libstdc++ is GCC 12's as
# well. packages/tests/floor.sh checks the symbol versions the packaged executable needs.
install(TARGETS selection-watcher RUNTIME DESTINATION bin)

if(BUILD_TESTING)
  find_package(GTest REQUIRED)
  add_executable(atspi_identity_tests tests/atspi/identity_test.cpp)
  target_link_libraries(atspi_identity_tests PRIVATE sw_atspi sw_warnings GTest::gtest_main)
  add_test(NAME atspi_identity COMMAND atspi_identity_tests)
  set_tests_properties(atspi_identity PROPERTIES LABELS "unit" TIMEOUT 60)

  # The real watcher against real browsers on a virtual desktop: Firefox ESR and Chrome's engine,
  # on X11, and on Wayland natively and under Xwayland.
  # Fails, never skips, when the desktop's packages (scripts/packages/atspi.txt) are missing.
  foreach(engine firefox chrome)
    foreach(desktop x11 wayland xwayland)
      set(name e2e_${engine})
      if(NOT desktop STREQUAL "x11")
        set(name e2e_${desktop}_${engine})
      endif()
      add_test(NAME ${name}
               COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/browser_e2e.py
                       ${engine} $<TARGET_FILE:selection-watcher> ${desktop})
      set_tests_properties(${name} PROPERTIES LABELS "e2e" TIMEOUT 600 RUN_SERIAL TRUE)
    endforeach()
  endforeach()
  # Firefox as a Snap runs it: its display reached through a link, an X connection held beside it.
  add_test(NAME e2e_snap_firefox
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tests/e2e/browser_e2e.py
                   firefox $<TARGET_FILE:selection-watcher> snap)
  set_tests_properties(e2e_snap_firefox PROPERTIES LABELS "e2e" TIMEOUT 600 RUN_SERIAL TRUE)
endif()
