# The HTTP client: URL splitting, reply parsing, the request engine against
# scripted peers, and against real servers (nginx, tinyproxy) started by the tests.
sentrel_add_test(http_url SOURCES UrlTest.cpp LIBS sentrel_net)
sentrel_add_test(http_reply SOURCES HttpReplyTest.cpp LIBS sentrel_net)
sentrel_add_test(http_location SOURCES HttpLocationTest.cpp LIBS sentrel_net)
sentrel_add_test(http_client SOURCES HttpProtTest.cpp HttpProtFailTest.cpp HttpProtRedirectTest.cpp support/ScriptedPeer.cpp
                 LIBS sentrel_net)
sentrel_add_test(http_nginx SOURCES HttpNginxTest.cpp support/RealServers.cpp support/ScriptedPeer.cpp
                 LIBS sentrel_net)
add_dependencies(http_nginx sentrel-get)
