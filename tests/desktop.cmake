# Desktop components: widget tests run offscreen (see CMakeLists.txt here).
if(TARGET sentrel_desktop)
  foreach(t ALed TovikTrayIcon AppEvent Placemnt RxHook)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${t}Test.cpp)
      string(TOLOWER ${t} lower)
      sentrel_add_test(desktop_${lower}_test SOURCES ${t}Test.cpp LIBS sentrel_desktop)
      if(t STREQUAL "Placemnt")
        # It declares a window class of its own.
        set_target_properties(desktop_${lower}_test PROPERTIES AUTOMOC ON)
      endif()
    endif()
  endforeach()
endif()

# A window with the LEDs, for screenshots (see LedDemo.cpp); the test only
# proves it draws and saves offscreen.
if(TARGET sentrel_desktop)
  add_executable(desktop_led_demo LedDemo.cpp)
  target_link_libraries(desktop_led_demo PRIVATE sentrel_desktop)
  add_test(NAME desktop_led_demo COMMAND desktop_led_demo --grab ${CMAKE_BINARY_DIR}/desktop_leds.png)
  set_tests_properties(desktop_led_demo PROPERTIES TIMEOUT 60
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
endif()
