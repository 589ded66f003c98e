# Update commands and the database file.
quarn_fuzzer(fuzz_update_command update_command_fuzz.cpp quarn_update)
quarn_fuzzer(fuzz_db_file db_file_fuzz.cpp quarn_update)
quarn_fuzzer(fuzz_update_client update_client_fuzz.cpp quarn_update)
