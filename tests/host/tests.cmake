# The web view tests run the real loader against the fake runtime.
target_link_libraries(${target} PRIVATE fake_webview2_client)
