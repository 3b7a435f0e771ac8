# HTTPS: a native fixture makes a throwaway CA and runs a loopback TLS server;
# net_tls_tests (under Wine) trusts the CA inside the test prefix only while
# it needs it. The refusal check runs first, in its own process.
set(VR_NET_TLS_DIR ${CMAKE_BINARY_DIR}/net-tls)
add_executable(net_tls_tests ${CMAKE_CURRENT_SOURCE_DIR}/net/tls/tls_test.cpp)
vr_fast_test_build(net_tls_tests)
target_link_libraries(net_tls_tests PRIVATE vr_net vr_test_support gtest_main crypt32)
add_dependencies(${target} net_tls_tests)

add_test(NAME net_tls_setup COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/tls_setup.sh ${VR_NET_TLS_DIR})
set_tests_properties(net_tls_setup PROPERTIES FIXTURES_SETUP net_tls_server TIMEOUT 120)
add_test(NAME net_tls_cleanup COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/support/tls_cleanup.sh ${VR_NET_TLS_DIR})
set_tests_properties(net_tls_cleanup PROPERTIES FIXTURES_CLEANUP net_tls_server)

add_test(NAME net_tls_untrusted COMMAND net_tls_tests --gtest_color=no --gtest_filter=TlsTest.UntrustedServerIsRefused)
add_test(NAME net_tls COMMAND net_tls_tests --gtest_color=no --gtest_filter=-TlsTest.UntrustedServerIsRefused)
set_tests_properties(net_tls_untrusted net_tls PROPERTIES
  FIXTURES_REQUIRED net_tls_server ENVIRONMENT VR_TLS_DIR=${VR_NET_TLS_DIR} TIMEOUT 300)
set_tests_properties(net_tls PROPERTIES DEPENDS net_tls_untrusted)
