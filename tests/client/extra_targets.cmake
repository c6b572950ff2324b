# The custom logon library that the connection tests load by path.
add_library(qrx_test_custom_login MODULE ${PROJECT_SOURCE_DIR}/tests/client/custom_login_lib.cpp)
target_include_directories(qrx_test_custom_login PRIVATE ${PROJECT_SOURCE_DIR}/src)
add_dependencies(qrx_client_tests qrx_test_custom_login)
target_compile_definitions(qrx_client_tests PRIVATE
  QRX_TEST_CUSTOM_LOGIN_LIB="$<TARGET_FILE:qrx_test_custom_login>")
