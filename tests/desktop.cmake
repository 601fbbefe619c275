# Desktop components: widget tests run offscreen (see CMakeLists.txt here).
if(TARGET sentrel_desktop)
  foreach(t ALed TovikTrayIcon AppEvent Placemnt RxHook)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${t}Test.cpp)
      string(TOLOWER ${t} lower)
      sentrel_add_test(desktop_${lower}_test SOURCES ${t}Test.cpp LIBS sentrel_desktop)
    endif()
  endforeach()
endif()
