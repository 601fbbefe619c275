# The event log writer, and the log viewer that shows its file.
if(TARGET sentrel_eventlog)
  sentrel_add_test(eventlog_kvolog_test SOURCES KvologTest.cpp LIBS sentrel_eventlog)
endif()

if(TARGET sentrel_base AND TARGET Qt6::Widgets)
  sentrel_add_test(app_viewlog_test
    SOURCES ViewLogTest.cpp
            ${CMAKE_SOURCE_DIR}/app/dStrings.cpp
            ${CMAKE_SOURCE_DIR}/app/ViewLog.cpp
            ${CMAKE_SOURCE_DIR}/app/viewform.h
            ${CMAKE_SOURCE_DIR}/app/viewform.cpp
    LIBS Qt6::Widgets sentrel_base)
  set_target_properties(app_viewlog_test PROPERTIES AUTOMOC ON)
endif()
