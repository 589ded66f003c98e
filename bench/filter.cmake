quarn_bench(filter SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/filter_bench.cpp LIBS quarn_rules)
