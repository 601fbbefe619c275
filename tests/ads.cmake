# The banner control against fake advertising libraries, one per variant.
if(SENTREL_GUI)
  sentrel_add_test(ads_advertisement_test SOURCES AdvertisementTest.cpp LIBS sentrel_ads)
  foreach(variant COMPLETE NO_SETOFFLINE INIT_FAILS MESSAGING_FAILS POSTS)
    string(TOLOWER ${variant} lower)
    add_library(fakeadimage_${lower} MODULE support/FakeAdImage.cpp)
    target_compile_definitions(fakeadimage_${lower} PRIVATE FAKE_${variant})
    target_link_libraries(fakeadimage_${lower} PRIVATE ${CMAKE_DL_LIBS})
    set_target_properties(fakeadimage_${lower} PROPERTIES OUTPUT_NAME adimage_${lower}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fakeads CXX_VISIBILITY_PRESET hidden)
    add_dependencies(ads_advertisement_test fakeadimage_${lower})
  endforeach()
endif()
