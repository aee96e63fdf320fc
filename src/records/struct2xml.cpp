// Writing a record as a device document, driven by the field table.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "records/records.h"
#include "records/xml_parse.h"

namespace {

// The document's element structure is derived once from the field paths: walking the fields
// in record order, the containers of consecutive paths are closed and opened as the paths
// diverge, and the "Entry" container of a repeated set becomes a block repeated once per
// entry. Where a leaf follows the Entry blocks of a set in the same container
// (BinaryInSet.AlarmAction), an empty line stands between them.
enum class op_kind { text, leaf, entry_begin, entry_end };

struct op {
    op_kind kind;
    std::string text;   // text: the line; leaf: "\n<Name>"; entry_*: "\n<Entry>"/"\n</Entry>"
    std::string close;  // leaf: "</Name>"
    int field = -1;     // leaf: row of the field
    int set = -1;       // entry_*: set index
    size_t jump = 0;    // entry_begin: index of its entry_end, and the reverse
};

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t from = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '_') {
            parts.push_back(path.substr(from, i - from));
            from = i + 1;
        }
    }
    return parts;
}

std::vector<op> build_program(const xml_record_layout &layout) {
    std::vector<op> ops;
    ops.push_back({op_kind::text, "<?xml version=\"1.0\" encoding=\"utf-8\"?>", {}});
    std::vector<std::string_view> open;
    std::vector<size_t> entry_begins;

    // Closes open containers down to `keep`; true when the outermost one closed was an Entry
    // (its set's container stays open).
    auto close_to = [&](size_t keep) {
        bool closed_entry = false;
        while (open.size() > keep) {
            if (open.back() == "Entry") {
                op end{op_kind::entry_end, "\n</Entry>", {}};
                end.set = ops[entry_begins.back()].set;
                end.jump = entry_begins.back();
                ops[entry_begins.back()].jump = ops.size();
                entry_begins.pop_back();
                ops.push_back(end);
                closed_entry = true;
            } else {
                ops.push_back({op_kind::text, "\n</" + std::string(open.back()) + ">", {}});
                closed_entry = false;
            }
            open.pop_back();
        }
        return closed_entry;
    };

    for (int row = 0; row < layout.rows; ++row) {
        const xml_field_desc &f = layout.fields[row];
        auto parts = split(std::string_view(f.path, f.path_len));
        const std::string_view leaf = parts.back();
        parts.pop_back();
        size_t common = 0;
        while (common < open.size() && common < parts.size() && open[common] == parts[common])
            ++common;
        if (close_to(common) && common == parts.size()) ops.push_back({op_kind::text, "\n", {}});
        while (open.size() < parts.size()) {
            const std::string_view name = parts[open.size()];
            if (name == "Entry") {
                op begin{op_kind::entry_begin, "\n<Entry>", {}};
                begin.set = f.set;
                entry_begins.push_back(ops.size());
                ops.push_back(begin);
            } else {
                ops.push_back({op_kind::text, "\n<" + std::string(name) + ">", {}});
            }
            open.push_back(name);
        }
        op l{op_kind::leaf, "\n<" + std::string(leaf) + ">", "</" + std::string(leaf) + ">"};
        l.field = row;
        ops.push_back(l);
    }
    close_to(0);
    return ops;
}

const std::vector<op> &program(const xml_record_layout &layout) {
    static const std::vector<op> values = build_program(xml_values_layout);
    static const std::vector<op> setup = build_program(xml_setup_layout);
    return layout.type == 0 ? values : setup;
}

// Appends to a fixed buffer, always leaving room for the terminator; after the first refused
// write every further write is refused too.
class writer {
public:
    writer(char *buffer, size_t capacity, size_t pos) : buf_(buffer), cap_(capacity), pos_(pos) {}

    void put(const char *text, size_t n) {
        if (failed_ || n >= cap_ - pos_) {
            failed_ = true;
            return;
        }
        std::memcpy(buf_ + pos_, text, n);
        pos_ += n;
    }
    void put(const std::string &text) { put(text.data(), text.size()); }

    // Field text up to its terminator (at most `width` bytes), escaped for element content.
    void put_text(const char *text, size_t width) {
        const size_t n = strnlen(text, width);
        if (std::memchr(text, '&', n) == nullptr && std::memchr(text, '<', n) == nullptr &&
            std::memchr(text, '>', n) == nullptr) {
            put(text, n);  // the common case: nothing to escape
            return;
        }
        size_t run = 0;  // start of the bytes not yet written
        for (size_t i = 0; i < n; ++i) {
            const char c = text[i];
            const char *escape = nullptr;
            if (c == '&')
                escape = "&amp;";
            else if (c == '<')
                escape = "&lt;";
            else if (c == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']')
                escape = "&gt;";  // "]]>" may not appear in element text
            if (escape == nullptr) continue;
            put(text + run, i - run);
            put(escape, std::strlen(escape));
            run = i + 1;
        }
        put(text + run, n - run);
    }

    bool failed() const { return failed_; }
    size_t pos() const { return pos_; }

private:
    char *buf_;
    size_t cap_;
    size_t pos_;
    bool failed_ = false;
};

}  // namespace

int xml_record2xml(const xml_record_layout &layout, const void *record, const void *counts,
                   char *buffer, size_t capacity) {
    if (record == nullptr || counts == nullptr || buffer == nullptr) return -1;
    const size_t start = strnlen(buffer, capacity);
    if (start == capacity) return -1;

    const std::vector<op> &ops = program(layout);
    writer out(buffer, capacity, start);
    int set_count = 0;  // entries of the Entry block being written
    int slot = 0;       // its slot
    for (size_t ip = 0; ip < ops.size() && !out.failed(); ++ip) {
        const op &o = ops[ip];
        switch (o.kind) {
            case op_kind::text:
                out.put(o.text);
                break;
            case op_kind::leaf: {
                const xml_field_desc &f = layout.fields[o.field];
                out.put(o.text);
                out.put_text(xml_field_slot(record, f, f.set < 0 ? 0 : slot), f.width);
                out.put(o.close);
                break;
            }
            case op_kind::entry_begin: {
                const xml_set_desc &s = layout.sets[o.set];
                set_count = *xml_set_count(counts, s);
                if (set_count < 0) set_count = 0;
                if (set_count > s.capacity) set_count = s.capacity;
                slot = 0;
                if (set_count == 0)
                    ip = o.jump;  // past the block
                else
                    out.put(o.text);
                break;
            }
            case op_kind::entry_end:
                out.put(o.text);
                if (++slot < set_count) {
                    out.put(ops[o.jump].text);
                    ip = o.jump;
                }
                break;
        }
    }
    if (out.failed()) {
        buffer[start] = '\0';
        return -1;
    }
    buffer[out.pos()] = '\0';
    return 0;
}

int struct2xml(const kyvern_setup *record, const kyvern_setup_entry_count *count, char *buffer,
               size_t capacity) {
    return xml_record2xml(xml_setup_layout, record, count, buffer, capacity);
}
