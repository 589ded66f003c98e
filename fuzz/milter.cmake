# The milter's answer reader and spool writer.
quarn_fuzzer(fuzz_milter_answer milter_answer_fuzz.cpp quarn_milter)
