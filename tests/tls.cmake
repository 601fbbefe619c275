# HTTPS for the HTTP client: the TLS session over memory, and (with nginx and
# tinyproxy started by the tests) the client over real TLS peers.
add_library(sentrel_tls_support STATIC support/TestCa.cpp support/TlsPeer.cpp support/NginxTls.cpp
            support/TlsThreadPeer.cpp)
target_include_directories(sentrel_tls_support PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(sentrel_tls_support PUBLIC sentrel_net OpenSSL::SSL OpenSSL::Crypto)

sentrel_add_test(tls_session SOURCES TlsSessionTest.cpp LIBS sentrel_tls_support)
sentrel_add_test(tls_http SOURCES TlsHttpTest.cpp support/RealServers.cpp support/ScriptedPeer.cpp
                 LIBS sentrel_tls_support)
sentrel_add_test(tls_nginx_session SOURCES TlsNginxTest.cpp LIBS sentrel_tls_support)
sentrel_add_test(tls_fuzz_handshake SOURCES fuzz/tls_handshake_fuzz.cpp fuzz/tls_fuzz_driver.cpp
                 LIBS sentrel_tls_support)
# With clang, the same target also builds for libFuzzer (not a test; run by hand).
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_executable(tls_handshake_fuzzer fuzz/tls_handshake_fuzz.cpp)
  target_compile_options(tls_handshake_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_options(tls_handshake_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(tls_handshake_fuzzer PRIVATE sentrel_net)
endif()

# End to end: "sentrel-cli --check" (and sentrel-get) against nginx with TLS.
add_test(NAME tls_check_e2e COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tls_check.sh $<TARGET_FILE:sentrel-cli>
                                    $<TARGET_FILE:sentrel-get>)
set_tests_properties(tls_check_e2e PROPERTIES TIMEOUT 300 ENVIRONMENT
  "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")

# sentrel-get's verdicts against a peer that knows what it sent: random
# pieces and endings over plain HTTP and TLS.
sentrel_add_test(http_differential SOURCES HttpDiffTest.cpp LIBS sentrel_tls_support)
add_dependencies(http_differential sentrel-get)
