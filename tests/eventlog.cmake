# The event log writer, and the log viewer that shows its file.
sentrel_add_test(eventlog_kvolog_test SOURCES KvologTest.cpp LIBS sentrel_eventlog)

if(SENTREL_GUI)
  sentrel_add_test(app_viewlog_test SOURCES ViewLogTest.cpp LIBS sentrel_gui)
endif()
