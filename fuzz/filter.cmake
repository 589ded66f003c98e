# Fuzz targets of the rule engine: the rules compiler (with includes), the
# flag-expression parser, the built-ins' text logic and the literal
# screen of regular expressions.
quarn_fuzzer(fuzz_rfilter_compile rfilter_compile_fuzz.cpp quarn_rules)
quarn_fuzzer(fuzz_parse_expr parse_expr_fuzz.cpp quarn_rules)
quarn_fuzzer(fuzz_wildcard wildcard_fuzz.cpp quarn_rules)
quarn_fuzzer(fuzz_rfilter_run rfilter_run_fuzz.cpp quarn_rules)
quarn_fuzzer(fuzz_literal_screen literal_screen_fuzz.cpp quarn_rules)
