# The speed-test URL follows the report host, in a fresh and in an existing
# build directory, unless it is set on its own.
# Run with cmake -DSOURCE_DIR=<top of the tree> -DWORK_DIR=<scratch> -P check_speed_url.cmake
set(project ${SOURCE_DIR}/tests/packaging/speed_url)
set(speed_path ":5252/speedtest/zandrel-speed.bin")
file(REMOVE_RECURSE ${WORK_DIR})

# Configures the build directory DIR with the arguments after it; the URL it
# would use lands in url, the outcome in rc.
function(configure dir)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${project} -B ${dir} -DZANDREL_SOURCE_DIR=${SOURCE_DIR} ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(rc ${result} PARENT_SCOPE)
  set(url "" PARENT_SCOPE)
  if(result EQUAL 0)
    file(READ ${dir}/speed_url.txt text)
    set(url "${text}" PARENT_SCOPE)
  endif()
  set(log "${out}" PARENT_SCOPE)
endfunction()
function(expect what want)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what}: configuring failed:\n${log}")
  endif()
  if(NOT url STREQUAL want)
    message(FATAL_ERROR "${what}: the speed-test URL is '${url}', expected '${want}'")
  endif()
endfunction()

set(dir ${WORK_DIR}/build)
configure(${dir})
expect("a fresh build" "http://localhost${speed_path}")
configure(${dir} -DZANDREL_REPORT_HOST=reports.example.org)
expect("the host changed in the same build" "http://reports.example.org${speed_path}")
configure(${dir} -DZANDREL_SPEED_URL=http://speed.example.net/big.bin)
expect("a URL of its own" "http://speed.example.net/big.bin")
configure(${dir} -DZANDREL_REPORT_HOST=10.1.2.3)
expect("the host changed after a URL of its own" "http://speed.example.net/big.bin")
configure(${dir} -DZANDREL_SPEED_URL=)
expect("the URL of its own taken back" "http://10.1.2.3${speed_path}")

# A build directory from before, holding the URL derived from its first host.
set(old ${WORK_DIR}/old)
file(WRITE ${WORK_DIR}/old-cache.cmake
     "set(ZANDREL_REPORT_HOST first.example CACHE STRING \"\")\n"
     "set(ZANDREL_SPEED_URL http://first.example${speed_path} CACHE STRING \"\")\n")
configure(${old} -C ${WORK_DIR}/old-cache.cmake)
configure(${old} -DZANDREL_REPORT_HOST=second.example)
expect("an older build directory" "http://second.example${speed_path}")

# What cannot go into the program's string literals and URLs.
foreach(bad "two words" "host\"quote" "")
  configure(${WORK_DIR}/bad -DZANDREL_REPORT_HOST=${bad})
  if(rc EQUAL 0)
    message(FATAL_ERROR "the report host '${bad}' was accepted")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "the speed-test URL follows the report host unless set on its own")
