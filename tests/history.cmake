# The pass history: the store on real SQLite files, the queries and the report.
sentrel_add_test(history_store_test SOURCES HistoryStoreTest.cpp HistoryReportTest.cpp LIBS sentrel_history)
