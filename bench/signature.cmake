# Signature generation and matching.
quarn_bench(signature SOURCES signature_bench.cpp LIBS quarn_signature)
# Whole-process SCAN throughput, signature only, with a large database.
quarn_bench(scan_signature SOURCES scan_signature_bench.cpp LIBS quarn_signature quarn_testing)
