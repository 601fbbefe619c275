# The socket layer: readiness notifications, lookups, error codes, the send
# chain and TWSocket. Every test talks only to peers it opens on 127.0.0.1.
if(TARGET sentrel_platform)
  sentrel_add_test(socket_asyncselect_test SOURCES AsyncSelectTest.cpp LIBS sentrel_platform)
endif()
if(TARGET sentrel_net)
  foreach(t SocketErrors WSockbuf WSocket WSocketLevels AsyncLookup)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${t}Test.cpp)
      string(TOLOWER ${t} lower)
      sentrel_add_test(socket_${lower}_test SOURCES ${t}Test.cpp LIBS sentrel_net)
    endif()
  endforeach()
endif()
