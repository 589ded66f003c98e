# Signature generation and matching.
quarn_bench(signature SOURCES signature_bench.cpp LIBS quarn_signature)
