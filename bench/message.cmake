# bench_message: the MIME walk, the URL scan and the HTML strip (linear, and
# the quadratic reference it replaces).
quarn_bench(message
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/message_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/message/message_testing.cpp
  LIBS quarn_codecs)
