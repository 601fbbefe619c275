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

# The status page: escaping, the model, each path's answer, the JSON against
# docs/status-api.schema.json and the badges as SVG, and the paths on a
# real listener.
sentrel_add_test(app_status_test SOURCES StatusTest.cpp LIBS sentrel_serve)

# The status page in a real browser (chromium headless through
# chromium-driver): skipped only where chromium is absent.
add_test(NAME app_status_browser_test COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/StatusBrowserTest.py
         $<TARGET_FILE:sentrel-cli>)
set_tests_properties(app_status_browser_test PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77
  ENVIRONMENT "${SENTREL_TEST_XDG_ENV};ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
