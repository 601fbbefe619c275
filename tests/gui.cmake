if(SENTREL_GUI)
  sentrel_add_test(app_window_test SOURCES MainWindowTest.cpp support/ScriptedPeer.cpp LIBS sentrel_gui)
  # No session bus: a change shows as the tray's balloon, at once.
  set_property(TEST app_window_test APPEND PROPERTY ENVIRONMENT "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent")

  # Desktop notifications against a fake notification service on a private
  # session bus (dbus-run-session, a test-only package).
  # Without dbus-run-session it runs on no bus and skips.
  find_program(DBUS_RUN_SESSION dbus-run-session)
  add_executable(app_notify_test NotifyTest.cpp)
  set_target_properties(app_notify_test PROPERTIES AUTOMOC ON)
  target_link_libraries(app_notify_test PRIVATE sentrel_gui Qt6::DBus GTest::gtest GTest::gtest_main)
  target_include_directories(app_notify_test PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(DBUS_RUN_SESSION)
    add_test(NAME app_notify_test COMMAND ${DBUS_RUN_SESSION} -- $<TARGET_FILE:app_notify_test>)
  else()
    add_test(NAME app_notify_test COMMAND app_notify_test)
  endif()
  set_tests_properties(app_notify_test PROPERTIES TIMEOUT 120
    ENVIRONMENT "${SENTREL_TEST_XDG_ENV};QT_QPA_PLATFORM=offscreen;DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent;ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")

  add_test(NAME app_start_stop_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/StartStopTest.sh $<TARGET_FILE:sentrel>)
  set_tests_properties(app_start_stop_test PROPERTIES TIMEOUT 120
    ENVIRONMENT "${SENTREL_TEST_XDG_ENV};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")

  # On an X desktop with a tray host (Xvfb, openbox, trayer): skipped without them.
  add_test(NAME app_tray_desktop_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/TrayDesktopTest.sh $<TARGET_FILE:sentrel>)
  set_tests_properties(app_tray_desktop_test PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77
    ENVIRONMENT "${SENTREL_TEST_XDG_ENV};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
endif()
