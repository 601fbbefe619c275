# The pass history: the store on real SQLite files, the queries and the report.
sentrel_add_test(history_store_test SOURCES HistoryStoreTest.cpp HistoryReportTest.cpp LIBS sentrel_history)
# The monitor's recorder of passes, with the settings and the metrics around it.
sentrel_add_test(history_recorder_test SOURCES HistoryRecorderTest.cpp LIBS sentrel_core)
if(SENTREL_GUI)
  # The history window's tables and chart, offscreen.
  sentrel_add_test(history_window_test SOURCES HistoryWindowTest.cpp LIBS sentrel_gui)
endif()
# sentrel-cli end to end: --check --history, --headless, --report.
add_test(NAME history_cli_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/HistoryCliTest.sh $<TARGET_FILE:sentrel-cli>)
set_tests_properties(history_cli_test PROPERTIES TIMEOUT 120
  ENVIRONMENT "${SENTREL_TEST_XDG_ENV};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
