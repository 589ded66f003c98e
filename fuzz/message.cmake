# Fuzz targets of the message codecs.
quarn_fuzzer(fuzz_mime_walk ${CMAKE_CURRENT_SOURCE_DIR}/mime_walk_fuzz.cpp quarn_message)
quarn_fuzzer(fuzz_codecs ${CMAKE_CURRENT_SOURCE_DIR}/codecs_fuzz.cpp quarn_message)
quarn_fuzzer(fuzz_html_strip ${CMAKE_CURRENT_SOURCE_DIR}/html_strip_fuzz.cpp quarn_message)
target_sources(fuzz_html_strip PRIVATE ${PROJECT_SOURCE_DIR}/tests/message/message_testing.cpp)
# The message model over whole runs: process, read every slot, replace,
# total the scores, free.
quarn_fuzzer(fuzz_message_model ${CMAKE_CURRENT_SOURCE_DIR}/message_model_fuzz.cpp quarn_rules)
