# The engine's UDP transport in a test network of namespaces: a small harness
# program runs the engine inside the server namespace; the driver changes
# adapters, sends from the LAN side and watches the links. Skipped (77) where
# namespaces cannot be created.
add_executable(transport_harness ${CMAKE_CURRENT_SOURCE_DIR}/integration/transport_harness.cpp)
target_compile_options(transport_harness PRIVATE ${FERRO_WARNINGS})
target_link_libraries(transport_harness PRIVATE ferro_core)

add_test(NAME engine_transport
         COMMAND ${FERRO_PYTHON} -B ${CMAKE_CURRENT_SOURCE_DIR}/integration/transport_test.py
                 $<TARGET_FILE:transport_harness>)
set_tests_properties(engine_transport PROPERTIES
  SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS "integration;netns;engine")
