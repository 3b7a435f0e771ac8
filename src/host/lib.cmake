# The news view's isolation script is built into the library as a header
# generated from src/host/news_isolation.js (regenerated when it changes).
set(vr_news_script ${CMAKE_SOURCE_DIR}/src/host/news_isolation.js)
file(READ ${vr_news_script} vr_news_script_text)
# An edit of the script reconfigures, which rewrites the header.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${vr_news_script})
if(vr_news_script_text MATCHES "\\)vrjs\"")
  message(FATAL_ERROR "news_isolation.js contains the raw-string terminator )vrjs\"")
endif()
set(vr_news_header "#pragma once\n// Generated from src/host/news_isolation.js by src/host/lib.cmake; do not edit.\nnamespace vr {\ninline constexpr char kNewsIsolationScript[] = R\"vrjs(${vr_news_script_text})vrjs\";\n}  // namespace vr\n")
set(vr_news_header_path ${CMAKE_BINARY_DIR}/generated/host/news_isolation_script.h)
set(vr_news_header_old "")
if(EXISTS ${vr_news_header_path})
  file(READ ${vr_news_header_path} vr_news_header_old)
endif()
if(NOT vr_news_header STREQUAL vr_news_header_old)
  file(WRITE ${vr_news_header_path} "${vr_news_header}")
endif()
