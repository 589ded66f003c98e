# Signature generation and the FINDCRC signature readers.
quarn_fuzzer(fuzz_msgcrc msgcrc_fuzz.cpp quarn_signature)
quarn_fuzzer(fuzz_crc_fields crc_fields_fuzz.cpp quarn_signature)
# The matcher against the bucket walk.
quarn_fuzzer(fuzz_matcher matcher_fuzz.cpp quarn_signature)
