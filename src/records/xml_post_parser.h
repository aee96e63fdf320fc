// Power-meter post-parser: appends Meter/Val and Input readings of known models to a values
// record, and the decimal formatter it uses.
// Glossary: mltostr / mltostre are the library's documented names of that formatter
// ("mantissa and exponent to string", the "e" form with a cut and a format).
#pragma once

#include <cstdint>
#include <cstdio>

#include "qvxml.h"

// Runs after every built-in values parse: for Agent.Model 45, 55, 57 or 58 reads a private
// copy of `data` with the tree reader and appends sensor and binary-input entries. Never
// stores past a set's capacity or a field's width; never changes `data`.
// Each Val of a named Meter (root child) becomes the sensor entry at count->SenSet, each
// Input the binary-input entry at count->BinaryInSet; a malformed document contributes what
// was read before the error. Reports nothing and records no error code.
// Bounds:
//  - an entry is stored only while its set's count is in 0 .. capacity-1 (SenSet 42,
//    BinaryInSet 64); further entries are dropped, so no count ever exceeds its capacity.
//  - a text is stored with at most width - 2 bytes, like the parser, the rest of the field
//    zeroed. Longer display texts (sensor and input names, units) are cut at a UTF-8
//    character boundary; longer numbers and states (ID, Value, Exp, Min, Max, Hyst, State)
//    are not stored and the field keeps what it had, since a cut number is a wrong one.
//  - a Val or Input without an `id` attribute gets ID "0" (atoi of an empty text). Numbers
//    convert as atoi/atol, saturating at the limits of the target type (exponent: int16).
// REQUIRES: the caller holds the parse lock (mutex 0) or otherwise owns both records.
// Does nothing when a pointer is null or len <= 0.
void qvg_pwr_post_parser(kyvern_values *record, kyvern_values_entry_count *count, const char *data,
                         int len);

// value x 10^exponent in decimal without rounding, cut to `decimals` digits after the point
// (0: no point, negative: no cut). stream null: returns a malloc'ed text (at most 31
// characters; caller frees) or null without memory. Otherwise prints it with
// fprintf(stream, format, text) and returns null.
char *mltostre(FILE *stream, int32_t value, int16_t exponent, int16_t decimals, const char *format);
char *mltostr(FILE *stream, int32_t value, int16_t exponent);  // decimals 32, format "%s"
