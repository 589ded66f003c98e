# bench_message: the MIME walk, the URL scan and the HTML strip (linear, and
# the quadratic reference it replaces).
quarn_bench(message
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/message_bench.cpp
    ${PROJECT_SOURCE_DIR}/tests/message/message_testing.cpp
  LIBS quarn_message)

# bench_model: the message model per message (rf_hdrs_process and
# rf_hdrs_free) on 5 KB plain, 20 KB HTML and 100 KB multipart messages and
# over the mail corpus.
quarn_bench(model
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/model_bench.cpp
  LIBS quarn_message)
