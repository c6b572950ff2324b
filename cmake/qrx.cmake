# qrx_area(NAME [DEPS...]): the static library qrx_NAME from src/qrx/NAME.
function(qrx_area name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/qrx/${name}/*.cpp)
  set(_deps)
  foreach(d ${ARGN})
    list(APPEND _deps qrx_${d})
  endforeach()
  if(_srcs)
    add_library(qrx_${name} STATIC ${_srcs})
    target_include_directories(qrx_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(qrx_${name} PUBLIC ${_deps} Threads::Threads ${CMAKE_DL_LIBS})
  else()
    add_library(qrx_${name} INTERFACE)
    target_include_directories(qrx_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(qrx_${name} INTERFACE ${_deps} Threads::Threads ${CMAKE_DL_LIBS})
  endif()
endfunction()

# qrx_count_allocs(TARGET): the counting allocator (tests/common/alloc_counter.h) for a test or
# benchmark executable that checks a path allocates nothing. It replaces malloc for the whole
# executable, so it goes only where it is asked for.
function(qrx_count_allocs target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/alloc_counter.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endfunction()
# The areas whose tests count allocations.
set(QRX_ALLOC_COUNTING_TESTS marketdata proxy)

# qrx_area_tests(NAME): one GoogleTest executable per area from tests/NAME/*_test.cpp,
# every test case registered with CTest and bounded by a time-out.
function(qrx_area_tests name)
  file(GLOB _tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${name}/*_test.cpp)
  if(NOT _tests)
    return()
  endif()
  file(GLOB _helpers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${name}/*_helper.cpp
       ${PROJECT_SOURCE_DIR}/tests/common/*.cpp)
  add_executable(qrx_${name}_tests ${_tests} ${_helpers})
  target_include_directories(qrx_${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(qrx_${name}_tests PRIVATE qrx_${name} GTest::gtest GTest::gmock GTest::gtest_main)
  if(name IN_LIST QRX_ALLOC_COUNTING_TESTS)
    qrx_count_allocs(qrx_${name}_tests)
  endif()
  # Further targets an area's tests need (e.g. a library they load).
  if(EXISTS ${PROJECT_SOURCE_DIR}/tests/${name}/extra_targets.cmake)
    include(${PROJECT_SOURCE_DIR}/tests/${name}/extra_targets.cmake)
  endif()
  gtest_discover_tests(qrx_${name}_tests
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 60 LABELS ${name})
endfunction()
