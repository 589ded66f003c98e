quarn_bench(milter SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/milter_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/milter/mail_harness.cpp LIBS quarn_testing)
target_compile_definitions(bench_milter PRIVATE
  QUARNCRC_MILTER_BIN="$<TARGET_FILE:quarncrc-milter>")
add_dependencies(bench_milter quarncrc-milter)
