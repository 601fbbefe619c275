# HTTPS for the HTTP client: the TLS session over memory, and (with nginx and
# tinyproxy started by the tests) the client over real TLS peers.
if(TARGET sentrel_net AND OpenSSL_FOUND)
  add_library(sentrel_tls_support STATIC support/TestCa.cpp support/TlsPeer.cpp)
  target_include_directories(sentrel_tls_support PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(sentrel_tls_support PUBLIC sentrel_net OpenSSL::SSL OpenSSL::Crypto)

  sentrel_add_test(tls_session SOURCES TlsSessionTest.cpp LIBS sentrel_tls_support)
endif()
