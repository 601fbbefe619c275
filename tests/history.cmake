# The pass history: the store on real SQLite files, the queries and the report.
sentrel_add_test(history_store_test SOURCES HistoryStoreTest.cpp HistoryReportTest.cpp LIBS sentrel_history)
# The monitor's recorder of passes, with the settings and the metrics around it.
sentrel_add_test(history_recorder_test SOURCES HistoryRecorderTest.cpp LIBS sentrel_core)
if(SENTREL_GUI)
  # The history window's tables and chart, offscreen.
  sentrel_add_test(history_window_test SOURCES HistoryWindowTest.cpp LIBS sentrel_gui)
endif()
