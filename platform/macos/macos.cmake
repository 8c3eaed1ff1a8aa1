# The macOS backend and the product, `selection-watcher`, signed with the hardened runtime.
# Included from the top-level CMakeLists.txt on Apple systems.

add_library(sw_macos STATIC
  ${CMAKE_CURRENT_LIST_DIR}/accessibility.mm
  ${CMAKE_CURRENT_LIST_DIR}/input.mm
  ${CMAKE_CURRENT_LIST_DIR}/runloop.mm
  ${CMAKE_CURRENT_LIST_DIR}/workspace.mm)
target_include_directories(sw_macos PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(sw_macos PRIVATE -fobjc-arc)
# Exactly the frameworks the backend calls into.
target_link_libraries(sw_macos
  PUBLIC "-framework AppKit" "-framework ApplicationServices" "-framework CoreFoundation"
         "-framework Foundation"
  PRIVATE sw_warnings)

add_executable(selection-watcher ${PROJECT_SOURCE_DIR}/app/main.cpp)
target_link_libraries(selection-watcher PRIVATE sw_core sw_macos sw_posix sw_warnings)
# Installing must not rewrite the binary after it was signed.
set_target_properties(selection-watcher PROPERTIES BUILD_WITH_INSTALL_RPATH ON)

# Signing. A cross build (or a machine without codesign) cannot sign, so the option turns itself
# off there; the ad hoc identity "-" is enough to run locally, a Developer ID to distribute.
find_program(SW_CODESIGN_EXECUTABLE codesign)
include(CMakeDependentOption)
cmake_dependent_option(SW_CODESIGN "Sign selection-watcher after linking" ON
  "NOT CMAKE_CROSSCOMPILING;SW_CODESIGN_EXECUTABLE" OFF)
set(SW_CODESIGN_IDENTITY "-" CACHE STRING
  "Identity selection-watcher is signed with (\"-\" signs ad hoc)")
set(SW_ENTITLEMENTS ${CMAKE_CURRENT_LIST_DIR}/selection-watcher.entitlements)

if(SW_CODESIGN)
  # Notarization accepts only signatures with a secure timestamp; an ad hoc one cannot have any.
  if(SW_CODESIGN_IDENTITY STREQUAL "-")
    set(sw_timestamp --timestamp=none)
  else()
    set(sw_timestamp --timestamp)
  endif()
  add_custom_command(TARGET selection-watcher POST_BUILD
    COMMAND ${SW_CODESIGN_EXECUTABLE} --force --options runtime ${sw_timestamp}
            --entitlements ${SW_ENTITLEMENTS}
            --sign ${SW_CODESIGN_IDENTITY}
            $<TARGET_FILE:selection-watcher>
    COMMENT "Signing selection-watcher (${SW_CODESIGN_IDENTITY})"
    VERBATIM)
  # A change of entitlements alone must sign again.
  set_property(TARGET selection-watcher APPEND PROPERTY LINK_DEPENDS ${SW_ENTITLEMENTS})
endif()

install(TARGETS selection-watcher RUNTIME DESTINATION bin)
