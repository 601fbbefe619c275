# The HTTP client: URL splitting, reply parsing, the request engine against
# scripted peers, and against real servers (nginx, tinyproxy) started by the tests.
if(TARGET sentrel_net)
  sentrel_add_test(http_url SOURCES UrlTest.cpp LIBS sentrel_net)
  sentrel_add_test(http_reply SOURCES HttpReplyTest.cpp LIBS sentrel_net)
  sentrel_add_test(http_location SOURCES HttpLocationTest.cpp LIBS sentrel_net)
  # The client needs the socket layer's implementation.
  if(EXISTS ${CMAKE_SOURCE_DIR}/net/WSocket.cpp)
    sentrel_add_test(http_client SOURCES HttpProtTest.cpp support/ScriptedPeer.cpp LIBS sentrel_net)
    sentrel_add_test(http_nginx SOURCES HttpNginxTest.cpp support/RealServers.cpp support/ScriptedPeer.cpp
                     LIBS sentrel_net)
    if(TARGET sentrel-get)
      add_dependencies(http_nginx sentrel-get)
    endif()
  endif()
endif()
