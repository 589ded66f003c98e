quarn_bench(engine SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/engine_bench.cpp LIBS quarn_engine quarn_testing)
