# The report server the programs are built for, and the default speed-test URL.
# The URL follows the host (the report server's own speed file) unless it is
# set on its own; an empty ZANDREL_SPEED_URL means "follow the host", so that
# changing the host in an existing build directory changes the URL too.
# Sets ZANDREL_SPEED_URL as a normal variable: the URL the build uses.
set(ZANDREL_REPORT_HOST "localhost" CACHE STRING
    "Host name of the report server (UDP 19549, HTTP 5252, the hint page on port 80)")
set(ZANDREL_SPEED_URL "" CACHE STRING
    "Default speed-test URL shown in the dialog (empty: http://<ZANDREL_REPORT_HOST>:5252/speedtest/zandrel-speed.bin)")
# Build directories configured before the URL followed the host hold the URL
# derived from the host of their first configuration: forget it once.
if(NOT DEFINED CACHE{ZANDREL_SPEED_URL_FOLLOWS_HOST})
  if(ZANDREL_SPEED_URL MATCHES "^http://[^/]*:5252/speedtest/zandrel-speed\\.bin$")
    set_property(CACHE ZANDREL_SPEED_URL PROPERTY VALUE "")
  endif()
  set(ZANDREL_SPEED_URL_FOLLOWS_HOST ON CACHE INTERNAL "the cached speed-test URL is empty unless set on its own")
endif()

# The host goes into C string literals and URLs: a name or an address, nothing else.
if(NOT ZANDREL_REPORT_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  message(FATAL_ERROR "ZANDREL_REPORT_HOST='${ZANDREL_REPORT_HOST}' is not a host name or IPv4 address")
endif()
if(ZANDREL_SPEED_URL MATCHES "[\"\\\\ ]")
  message(FATAL_ERROR "ZANDREL_SPEED_URL='${ZANDREL_SPEED_URL}' holds a quote, backslash or space")
endif()
if(ZANDREL_SPEED_URL STREQUAL "")
  set(ZANDREL_SPEED_URL "http://${ZANDREL_REPORT_HOST}:5252/speedtest/zandrel-speed.bin")
endif()
message(STATUS "Report server: ${ZANDREL_REPORT_HOST}; speed-test URL: ${ZANDREL_SPEED_URL}")
