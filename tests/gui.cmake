if(SENTREL_GUI)
  sentrel_add_test(app_window_test SOURCES MainWindowTest.cpp support/ScriptedPeer.cpp LIBS sentrel_gui)

  add_test(NAME app_start_stop_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/StartStopTest.sh $<TARGET_FILE:sentrel>)
  set_tests_properties(app_start_stop_test PROPERTIES TIMEOUT 120
    ENVIRONMENT "${SENTREL_TEST_XDG_ENV};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")

  # On an X desktop with a tray host (Xvfb, openbox, trayer): skipped without them.
  add_test(NAME app_tray_desktop_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/TrayDesktopTest.sh $<TARGET_FILE:sentrel>)
  set_tests_properties(app_tray_desktop_test PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77
    ENVIRONMENT "${SENTREL_TEST_XDG_ENV};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
endif()
