# Third-party clients of the published service description: zeep (strict),
# the npm "soap" package and a C++ client that wsdl2h and soapcpp2 generate
# from Device.wsdl at build time, as an integrator would.
set(FERRO_CLIENT_GEN ${CMAKE_BINARY_DIR}/client-gen)
set(FERRO_CLIENT_SOURCES ${FERRO_CLIENT_GEN}/soapC.cpp ${FERRO_CLIENT_GEN}/soapDeviceProxy.cpp
                         ${FERRO_CLIENT_GEN}/soapDevice12Proxy.cpp)
add_custom_command(
  OUTPUT ${FERRO_CLIENT_SOURCES} ${FERRO_CLIENT_GEN}/Device.nsmap
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${FERRO_CLIENT_GEN}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${FERRO_CLIENT_GEN}
  # -N fl: type prefix "fl" and one proxy per binding (SOAP 1.1 and 1.2).
  # The tools' banners and notes go to logs in the build tree.
  COMMAND ${CMAKE_COMMAND} -DLOG=${FERRO_CLIENT_GEN}/wsdl2h.log
          "-DCMD=wsdl2h$<SEMICOLON>-c++11$<SEMICOLON>-N$<SEMICOLON>fl$<SEMICOLON>-o$<SEMICOLON>${FERRO_CLIENT_GEN}/device.h$<SEMICOLON>${FERRO_DIST}/auto/Device.wsdl"
          -P ${CMAKE_SOURCE_DIR}/server/quietly.cmake
  COMMAND ${CMAKE_COMMAND} -DLOG=${FERRO_CLIENT_GEN}/soapcpp2.log
          "-DCMD=soapcpp2$<SEMICOLON>-C$<SEMICOLON>-j$<SEMICOLON>-L$<SEMICOLON>-x$<SEMICOLON>-I/usr/share/gsoap/import$<SEMICOLON>-d${FERRO_CLIENT_GEN}$<SEMICOLON>${FERRO_CLIENT_GEN}/device.h"
          -P ${CMAKE_SOURCE_DIR}/server/quietly.cmake
  DEPENDS ${FERRO_DIST}/auto/Device.wsdl ferro_auto_files ${CMAKE_SOURCE_DIR}/server/quietly.cmake
  COMMENT "wsdl2h + soapcpp2: generating a client from the published Device.wsdl"
  VERBATIM)
add_executable(ferro_gsoap_client ${CMAKE_CURRENT_SOURCE_DIR}/clients/cpp/device_client.cpp
                                  ${FERRO_CLIENT_SOURCES})
target_include_directories(ferro_gsoap_client SYSTEM PRIVATE ${FERRO_CLIENT_GEN})
# Generated code is not ours; our own file keeps its warnings.
set_source_files_properties(${FERRO_CLIENT_SOURCES} PROPERTIES COMPILE_OPTIONS -w)
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/clients/cpp/device_client.cpp
             PROPERTY COMPILE_OPTIONS ${FERRO_WARNINGS})
target_link_libraries(ferro_gsoap_client PRIVATE PkgConfig::GSOAP)

add_test(NAME third_party_clients
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/clients_test.py)
set_tests_properties(third_party_clients PROPERTIES
  ENVIRONMENT "FERRO_DIST=${FERRO_DIST};FERRO_GSOAP_CLIENT=$<TARGET_FILE:ferro_gsoap_client>"
  SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "integration;netns")
