# The socket layer: readiness notifications, lookups, error codes, the send
# chain and TWSocket. Every test talks only to peers it opens on 127.0.0.1.
sentrel_add_test(socket_asyncselect_test SOURCES AsyncSelectTest.cpp LIBS sentrel_platform)
sentrel_add_test(socket_wsocket_test SOURCES WSocketTest.cpp WSocketMoreTest.cpp LIBS sentrel_net)
foreach(t SocketErrors WSockbuf WSocketLevels AsyncLookup)
  string(TOLOWER ${t} lower)
  sentrel_add_test(socket_${lower}_test SOURCES ${t}Test.cpp LIBS sentrel_net)
endforeach()
