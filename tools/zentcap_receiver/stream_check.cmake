# The stream checks without any media library: packet framing, per-packet limits,
# cross-packet rules and Annex B splitting. Included by this folder and by the
# tests, so the checks are also built (and sanitized) when the programs are not.
if(NOT TARGET zentcap_stream_check)
  add_library(zentcap_stream_check STATIC
    ${CMAKE_CURRENT_LIST_DIR}/annexb.cpp
    ${CMAKE_CURRENT_LIST_DIR}/packet_parser.cpp
    ${CMAKE_CURRENT_LIST_DIR}/stream_validator.cpp)
  target_include_directories(zentcap_stream_check PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../..)
endif()
