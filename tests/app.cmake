sentrel_add_test(app_controller_test SOURCES AlertTest.cpp CommandLineTest.cpp ControllerTest.cpp MetricsTest.cpp SettingsTest.cpp
                 LIBS sentrel_cli)

# The programs end to end: sentrel-cli always, the window program's runs
# without a window when it is built.
sentrel_add_test(app_monitor_test SOURCES MonitorTest.cpp MonitorDaemonTest.cpp ExpectTest.cpp support/ScriptedPeer.cpp support/RealServers.cpp
                 LIBS sentrel_cli sentrel_tls_support)
add_dependencies(app_monitor_test sentrel-cli)
if(SENTREL_GUI)
  add_dependencies(app_monitor_test sentrel)
  target_compile_definitions(app_monitor_test PRIVATE SENTREL_WINDOW_PROGRAM)
endif()

# sentrel-cli is the monitor for machines without Qt: nothing may pull Qt in.
add_test(NAME app_cli_links_no_qt COMMAND sh -c "ldd \"$1\" | grep -i qt && exit 1 || exit 0" sh $<TARGET_FILE:sentrel-cli>)

# The on-change program: real shell scripts run by the controller.
sentrel_add_test(app_onchange_test SOURCES OnChangeTest.cpp support/ScriptedPeer.cpp LIBS sentrel_core)
add_dependencies(app_onchange_test sentrel-cli)

# GET /probe: the handler against scripted servers, and a real Prometheus
# scraping sentrel-cli through relabelling.
sentrel_add_test(app_probe_test SOURCES ProbeTest.cpp support/ScriptedPeer.cpp support/RealServers.cpp
                 LIBS sentrel_serve)
add_dependencies(app_probe_test sentrel-cli)

# Webhooks against a loopback receiver; Qt's JSON reader checks the bodies.
if(SENTREL_GUI)
  sentrel_add_test(app_webhook_test SOURCES WebhookTest.cpp support/ScriptedPeer.cpp LIBS sentrel_core Qt6::Core)
endif()
