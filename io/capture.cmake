# The live capture side of valdrin_io: packet socket, kernel filter, receive
# ring and its thread, plus the real-time hand-off pieces. Included from the
# top-level CMakeLists.txt until it joins io/CMakeLists.txt.
set(VALDRIN_IO_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(valdrin_capture STATIC
  ${VALDRIN_IO_DIR}/os.cpp
  ${VALDRIN_IO_DIR}/bpf.cpp
  ${VALDRIN_IO_DIR}/rx_ring.cpp
  ${VALDRIN_IO_DIR}/capture.cpp
)
target_include_directories(valdrin_capture PUBLIC ${VALDRIN_IO_DIR})
find_package(Threads REQUIRED)
target_link_libraries(valdrin_capture PUBLIC Threads::Threads)

if(VALDRIN_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(capture_tests
    ${VALDRIN_IO_DIR}/tests/netns.cpp
    ${VALDRIN_IO_DIR}/tests/capture_test.cpp
    ${VALDRIN_IO_DIR}/tests/capture_link_test.cpp
    ${VALDRIN_IO_DIR}/tests/handoff_test.cpp
  )
  target_link_libraries(capture_tests PRIVATE valdrin_capture GTest::gtest_main)
  # Each test forks into a network namespace of its own; they may run in parallel.
  gtest_discover_tests(capture_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 60)
endif()
