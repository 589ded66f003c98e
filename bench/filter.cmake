quarn_bench(filter SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/filter_bench.cpp LIBS quarn_rules)
quarn_bench(filter_scan SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/filter_scan_bench.cpp LIBS quarn_signature quarn_testing)
