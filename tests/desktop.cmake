# Desktop components: widget tests run offscreen (see CMakeLists.txt here).
if(SENTREL_GUI)
  foreach(t ALed TovikTrayIcon AppEvent Placemnt RxHook bramelAutostart GoToWeb)
    string(TOLOWER ${t} lower)
    sentrel_add_test(desktop_${lower}_test SOURCES ${t}Test.cpp LIBS sentrel_desktop)
  endforeach()
  # It declares a window class of its own.
  set_target_properties(desktop_placemnt_test PROPERTIES AUTOMOC ON)

  # A window with the LEDs, for screenshots (see LedDemo.cpp); the test only
  # proves it draws and saves offscreen.
  add_executable(desktop_led_demo LedDemo.cpp)
  target_link_libraries(desktop_led_demo PRIVATE sentrel_desktop)
  add_test(NAME desktop_led_demo COMMAND desktop_led_demo --grab ${CMAKE_BINARY_DIR}/desktop_leds.png)
  set_tests_properties(desktop_led_demo PROPERTIES TIMEOUT 60
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
endif()
