// Record invariants checked after every fuzzed parse. They come straight from the field and
// set tables (include/qvxml_*.def), not from the parser's own tables, so a wrong parser
// table does not hide its own fault.
#pragma once

#include "qvxml.h"

// Aborts (a fuzzer crash) with the offending field when a record breaks its bounds: every
// text field holds at most width - 2 characters before its terminator, every count lies in
// 0..capacity. Null records are accepted (nothing parsed).
void fuzz_check_values(const kyvern_values *record, const kyvern_values_entry_count *count);
void fuzz_check_setup(const kyvern_setup *record, const kyvern_setup_entry_count *count);

// Reports the failed invariant on standard error and aborts.
[[noreturn]] void fuzz_fail(const char *what, const char *detail);
