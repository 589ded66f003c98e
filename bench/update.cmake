# Loading and rewriting a large database file.
quarn_bench(update SOURCES update_bench.cpp LIBS quarn_update)
