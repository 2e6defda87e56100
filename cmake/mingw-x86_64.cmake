# Cross-build for x86_64 Windows; the test programs run under Wine here.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
if(EXISTS /usr/lib/wine/wine64)
  # Lets ctest run the test programs under Wine.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
