// Power-meter post-parser and the decimal formatter it uses.
#include "records/xml_post_parser.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "records/ezxml.h"

namespace {

// atoi/atol semantics (leading blanks, optional sign, digits up to the first non-digit, 0
// without a number) for a NUL-terminated text, but saturating at the limits of the result
// type instead of the undefined result atoi gives out of range.
long long text_to_ll(const char *text, long long lo, long long hi) {
    if (!text) return 0;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

int text_to_int(const char *text) {
    return static_cast<int>(text_to_ll(text, INT_MIN, INT_MAX));
}

// atoi over a fixed-width field that may lack its terminator.
template <size_t N>
int field_to_int(const char (&field)[N]) {
    char tmp[N + 1];
    std::memcpy(tmp, field, N);
    tmp[N] = '\0';
    return text_to_int(tmp);
}

// Largest length <= limit that does not split a UTF-8 sequence of `text` (length `len`).
size_t utf8_cut(const char *text, size_t len, size_t limit) {
    if (len <= limit) return len;
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

enum class overlong { cut, skip };

// Stores `text` into a field of width N as the parser would: at most N - 2 characters, the
// rest of the field zeroed. A longer text is cut at a character boundary (display texts) or
// not stored at all (numbers and states, which a cut would turn into a different value).
template <size_t N>
void put(char (&field)[N], const char *text, overlong mode) {
    static_assert(N >= 2, "field too narrow");
    if (!text) return;
    size_t len = std::strlen(text);
    if (len > N - 2) {
        if (mode == overlong::skip) return;
        len = utf8_cut(text, len, N - 2);
    }
    std::memcpy(field, text, len);
    std::memset(field + len, 0, N - len);
}

const char *child_txt(ezxml_t node, const char *name) {
    ezxml_t c = ezxml_child(node, name);
    return c ? c->txt : nullptr;
}

// The `id` attribute as "%i"; an absent attribute converts as an empty text (0).
template <size_t N>
void put_id(char (&field)[N], ezxml_t node) {
    const char *id = ezxml_attr(node, "id");
    char tmp[16];
    std::snprintf(tmp, sizeof tmp, "%i", text_to_int(id ? id : ""));
    put(field, tmp, overlong::skip);
}

// A limit text converted with atol and formatted with the current exponent.
template <size_t N>
void put_scaled(char (&field)[N], const char *text, int16_t exponent) {
    if (!text) return;
    auto value = static_cast<int32_t>(text_to_ll(text, INT32_MIN, INT32_MAX));
    char *s = mltostr(nullptr, value, exponent);
    if (!s) return;  // no memory: the field keeps what it had
    put(field, s, overlong::skip);
    std::free(s);
}

template <size_t N>
void put_flag(char (&field)[N], int cfg, int bit) {
    put(field, (cfg & bit) ? "1" : "0", overlong::skip);
}

constexpr int kSenCap =
    sizeof(kyvern_values::SenSet_Entry_Name) / sizeof(kyvern_values::SenSet_Entry_Name[0]);
constexpr int kBinInCap = sizeof(kyvern_values::BinaryInSet_Entry_Name) /
                          sizeof(kyvern_values::BinaryInSet_Entry_Name[0]);

void fill_sensor(kyvern_values *r, int i, const char *meter_name, ezxml_t val, int16_t *exponent) {
    std::string name = meter_name;
    name += '.';
    if (const char *vn = child_txt(val, "Name")) name += vn;
    put(r->SenSet_Entry_Name[i], name.c_str(), overlong::cut);

    const char *units = child_txt(val, "Units");
    if (!units) units = child_txt(val, "Unit");
    put(r->SenSet_Entry_Units[i], units, overlong::cut);

    put_id(r->SenSet_Entry_ID[i], val);

    if (const char *exp = child_txt(val, "Exp")) {
        put(r->SenSet_Entry_Exp[i], exp, overlong::skip);
        *exponent = static_cast<int16_t>(text_to_ll(exp, INT16_MIN, INT16_MAX));
    }
    put(r->SenSet_Entry_Value[i], child_txt(val, "Value"), overlong::skip);
    put_scaled(r->SenSet_Entry_Min[i], child_txt(val, "alarm_end"), *exponent);
    put_scaled(r->SenSet_Entry_Max[i], child_txt(val, "alarm_start"), *exponent);
    put_scaled(r->SenSet_Entry_Hyst[i], child_txt(val, "hyst"), *exponent);
    put(r->SenSet_Entry_State[i], child_txt(val, "State"), overlong::skip);
    if (const char *cfg = child_txt(val, "cfg")) {
        int v = text_to_int(cfg);
        put_flag(r->SenSet_Entry_EmailSMS[i], v, 8);
        put_flag(r->SenSet_Entry_SNMPTrap[i], v, 4);
    }
    put(r->SenSet_Entry_Calib[i], "0", overlong::skip);
}

void fill_input(kyvern_values *r, int i, ezxml_t in) {
    put(r->BinaryInSet_Entry_Name[i], child_txt(in, "Name"), overlong::cut);
    put_id(r->BinaryInSet_Entry_ID[i], in);
    put(r->BinaryInSet_Entry_State[i], child_txt(in, "State"), overlong::skip);
    put(r->BinaryInSet_Entry_Value[i], child_txt(in, "Value"), overlong::skip);
    if (const char *cfg = child_txt(in, "cfg")) {
        int v = text_to_int(cfg);
        const char *alarm = !(v & 2) ? "2" : (v & 4) ? "1" : "0";
        put(r->BinaryInSet_Entry_Alarm[i], alarm, overlong::skip);
        put_flag(r->BinaryInSet_Entry_EmailSMS[i], v, 8);
        put_flag(r->BinaryInSet_Entry_SNMPTrap[i], v, 16);
    }
}

}  // namespace

void qvg_pwr_post_parser(kyvern_values *record, kyvern_values_entry_count *count, const char *data,
                         int len) {
    if (!record || !count || !data || len <= 0) return;
    int model = field_to_int(record->Agent_Model);
    if (model != 45 && model != 55 && model != 57 && model != 58) return;

    // The reader rewrites the text it reads and replaces its last byte by a NUL: give it a
    // private copy with a terminator of its own so no byte of the document is lost.
    auto n = static_cast<size_t>(len);
    char *copy = static_cast<char *>(std::malloc(n + 1));
    if (!copy) return;
    std::memcpy(copy, data, n);
    copy[n] = '\0';
    ezxml_t root = ezxml_parse_str(copy, n + 1);
    if (!root) {
        std::free(copy);
        return;
    }

    int16_t exponent = 0;
    for (ezxml_t meter = ezxml_child(root, "Meter"); meter; meter = meter->next) {
        const char *meter_name = child_txt(meter, "Name");
        if (!meter_name) continue;
        for (ezxml_t val = ezxml_child(meter, "Val"); val; val = val->next) {
            int i = count->SenSet;
            if (i < 0 || i >= kSenCap) break;  // full: further entries are not stored
            fill_sensor(record, i, meter_name, val, &exponent);
            count->SenSet = i + 1;
        }
    }
    for (ezxml_t in = ezxml_child(root, "Input"); in; in = in->next) {
        int i = count->BinaryInSet;
        if (i < 0 || i >= kBinInCap) break;
        fill_input(record, i, in);
        count->BinaryInSet = i + 1;
    }

    ezxml_free(root);
    std::free(copy);
}

char *mltostre(FILE *stream, int32_t value, int16_t exponent, int16_t decimals,
               const char *format) {
    constexpr size_t kMax = 31;  // longest text, terminator excluded
    char *out = static_cast<char *>(std::malloc(kMax + 1));
    char *digits = static_cast<char *>(std::malloc(kMax + 1));
    if (!out || !digits) {
        std::free(out);
        std::free(digits);
        return nullptr;
    }
    size_t len = 0;
    auto add = [&](char c) {
        if (len < kMax) out[len++] = c;
    };

    long long v = value;
    if (v < 0) {
        add('-');
        v = -v;
    }
    std::snprintf(digits, kMax + 1, "%lld", v);
    const int n = static_cast<int>(std::strlen(digits));
    const int f = -static_cast<int>(exponent);

    if (value == 0 && exponent > 0) {
        add('0');
    } else {
        if (n <= f) {
            add('0');
            add('.');
            for (int k = 0; k < f - n && len < kMax; ++k) add('0');
        }
        for (int k = 0; k < n; ++k) {
            add(digits[k]);
            if (f > 0 && n - k - 1 == f) add('.');
        }
        for (int k = 0; k < exponent && len < kMax; ++k) add('0');
    }
    out[len] = '\0';
    std::free(digits);

    if (char *point = std::strchr(out, '.')) {
        auto after = static_cast<long>(std::strlen(point + 1));
        if (decimals == 0)
            *point = '\0';
        else if (decimals > 0 && after > decimals)
            point[1 + decimals] = '\0';
    }

    if (!stream) return out;
    std::fprintf(stream, format ? format : "%s", out);
    std::free(out);
    return nullptr;
}

char *mltostr(FILE *stream, int32_t value, int16_t exponent) {
    return mltostre(stream, value, exponent, 32, "%s");
}
