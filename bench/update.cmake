# Loading and rewriting a large database file.
quarn_bench(update SOURCES update_bench.cpp LIBS quarn_update)
# An update run applying a large download; SCAN latency while it is applied.
quarn_bench(update_client SOURCES update_client_bench.cpp LIBS quarn_update quarn_testing)
