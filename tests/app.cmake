sentrel_add_test(app_controller_test SOURCES ControllerTest.cpp MetricsTest.cpp SettingsTest.cpp LIBS sentrel_core)

if(SENTREL_GUI)
  sentrel_add_test(app_monitor_test SOURCES MonitorTest.cpp support/ScriptedPeer.cpp support/RealServers.cpp
                   LIBS sentrel_core sentrel_tls_support)
  add_dependencies(app_monitor_test sentrel)
endif()
