# The feed server's request parameters and import lines.
quarn_fuzzer(fuzz_feed_input feed_input_fuzz.cpp quarn_feed)
