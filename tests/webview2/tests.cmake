# The loader tests load the fake runtime through the real loader.
target_link_libraries(${target} PRIVATE fake_webview2_client)
