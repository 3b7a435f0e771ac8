# The host window runs the real loader against the fake runtime, in process.
target_link_libraries(${target} PRIVATE vr_host fake_webview2_client)
