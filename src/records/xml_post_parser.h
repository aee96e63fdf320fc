// Power-meter post-parser: appends Meter/Val and Input readings of known models to a values
// record, and the decimal formatter it uses.
#pragma once

#include <cstdint>
#include <cstdio>

#include "qvxml.h"

// Runs after every built-in values parse: for Agent.Model 45, 55, 57 or 58 reads a private
// copy of `data` with the tree reader and appends sensor and binary-input entries. Never
// stores past a set's capacity or a field's width; never changes `data`.
void qvg_pwr_post_parser(kyvern_values *record, kyvern_values_entry_count *count,
                         const char *data, int len);

// value x 10^exponent in decimal without rounding, cut to `decimals` digits after the point
// (0: no point, negative: no cut). stream null: returns a malloc'ed text (at most 31
// characters; caller frees) or null without memory. Otherwise prints it with
// fprintf(stream, format, text) and returns null.
char *mltostre(FILE *stream, int32_t value, int16_t exponent, int16_t decimals,
               const char *format);
char *mltostr(FILE *stream, int32_t value, int16_t exponent);  // decimals 32, format "%s"
