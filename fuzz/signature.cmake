# Signature generation and the FINDCRC signature readers.
quarn_fuzzer(fuzz_msgcrc msgcrc_fuzz.cpp quarn_signature)
quarn_fuzzer(fuzz_crc_fields crc_fields_fuzz.cpp quarn_signature)
