// In-place XML tree reader.
//
// Reading is a single forward scan over the logical text with an explicit end index; no
// byte at or beyond the end is read, and the scan never depends on NUL bytes. The buffer is
// only written behind the scan (name terminators once a tag is complete, decoded texts once
// an element closes), so the scan always reads original bytes. Before any byte is written,
// the line counter used for error texts is advanced past it, so error lines are counted on
// the original text.
//
// Texts are decoded into a per-element accumulator as they arrive (so that `off` of a child
// is known when it starts). When an element closes, a text made of one piece that still fits
// in the bytes it came from is written back there; any other text is owned by the document.
#include "records/ezxml.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

char g_empty_text[1] = {'\0'};
char *g_empty_attr[1] = {nullptr};
const char *g_empty_pi[1] = {nullptr};

// Work allowed to the circular-declaration check per document. Past it the check is skipped:
// expansion stays bounded by depth and budgets anyway.
constexpr long kCycleCheckWork = 4000000;

struct entity {
    std::string value;              // replacement text as declared (decoded on use)
    std::vector<std::string> refs;  // names of the entities the value refers to
    bool predefined = false;        // the five built-in ones cost no expansion budget
};

struct attr_decl {
    std::string name;
    std::string value;  // decoded default
    bool has_default = false;
    bool cdata = true;  // other types are collapsed and trimmed
};

// Everything a document owns besides its root record.
struct doc_impl {
    std::deque<ezxml> nodes;                // every element but the root
    std::deque<std::vector<char *>> attrs;  // attribute lists of the elements
    std::deque<std::string> texts;          // texts and values the reader allocated
    std::unordered_map<std::string, entity> entities;
    // Ordered maps with transparent comparison: lookups from the C entry points allocate
    // nothing (and so cannot throw).
    // element name -> attribute name -> declaration (the first declaration binds)
    std::map<std::string, std::map<std::string, attr_decl, std::less<>>, std::less<>> attr_decls;
    std::map<std::string, std::vector<const char *>, std::less<>> pis;  // null-terminated
    long expansions_left = EZXML_MAX_EXPANSIONS;
    size_t expansion_bytes_left = EZXML_MAX_TEXT;
    long cycle_work_left = kCycleCheckWork;

    const attr_decl *find_decl(std::string_view element, std::string_view name) const {
        auto it = attr_decls.find(element);
        if (it == attr_decls.end()) return nullptr;
        auto d = it->second.find(name);
        return d == it->second.end() ? nullptr : &d->second;
    }
};

}  // namespace

// The document record: starts with the root element so that the root can be passed where a
// node is expected. Standard layout (C members only), so the first member's address is the
// record's address.
struct ezxml_root_rec {
    ezxml node;
    ezxml_t cur;  // element being built
    char *m;      // buffer read (the caller's, or `u`)
    size_t len;   // its length
    char *u;      // UTF-8 conversion of a UTF-16 document, freed with the tree
    char *s;      // start of the text being read
    char *e;      // end of the text being read (exclusive)
    doc_impl *impl;
    short standalone;
    char err[EZXML_ERRL];
};

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_name_start(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 128;
}

bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void put_utf8(std::string &out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Converts UTF-16 (after its byte-order mark) to UTF-8. Unpaired surrogates become U+FFFD;
// an odd trailing byte is ignored. Returns a malloc'ed buffer of *out_len bytes (plus a
// spare NUL), or null without memory.
char *utf16_to_utf8(const unsigned char *s, size_t len, bool big_endian, size_t *out_len) {
    size_t units = len / 2;
    char *out = static_cast<char *>(std::malloc(units * 3 + 1));
    if (!out) return nullptr;
    size_t o = 0;
    auto unit = [&](size_t i) -> unsigned {
        return big_endian ? (s[2 * i] << 8) | s[2 * i + 1] : (s[2 * i + 1] << 8) | s[2 * i];
    };
    std::string tmp;
    for (size_t i = 0; i < units; ++i) {
        unsigned long cp = unit(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units) {
            unsigned lo = unit(i + 1);
            if (lo >= 0xDC00 && lo < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            } else {
                cp = 0xFFFD;
            }
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        tmp.clear();
        put_utf8(tmp, cp);
        std::memcpy(out + o, tmp.data(), tmp.size());  // 4 bytes only for a pair (2 units)
        o += tmp.size();
    }
    out[o] = '\0';
    *out_len = o;
    return out;
}

// Collapses runs of spaces and trims them (attributes of a declared non-CDATA type).
void collapse_spaces(std::string &v) {
    size_t o = 0;
    bool pending = false;
    for (char c : v) {
        if (c == ' ') {
            pending = o > 0;
            continue;
        }
        if (pending) v[o++] = ' ';
        pending = false;
        v[o++] = c;
    }
    v.resize(o);
}

// Names of the entity references (not character references) in `v`.
std::vector<std::string> entity_refs(std::string_view v) {
    std::vector<std::string> refs;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '&' || i + 1 >= v.size() || v[i + 1] == '#') continue;
        size_t j = i + 1;
        while (j < v.size() && is_name_char(v[j])) ++j;
        if (j > i + 1 && j < v.size() && v[j] == ';') refs.emplace_back(v.substr(i + 1, j - i - 1));
    }
    return refs;
}

struct frame {
    ezxml *node;
    std::string text;     // decoded text so far
    int pieces = 0;       // pieces of text joined into `text`
    size_t piece_at = 0;  // first piece: position and raw length in the buffer
    size_t piece_len = 0;
    ezxml *last_child = nullptr;
    // One chain per child name (head, tail), in order of first appearance: the heads form the
    // `sibling` chain. Few names are found by scanning; past kScanNames an index is built.
    struct chain {
        ezxml *head, *tail;
    };
    static constexpr size_t kScanNames = 8;
    std::vector<chain> chains;
    std::unique_ptr<std::unordered_map<std::string_view, size_t>> index;

    chain *find_chain(std::string_view name) {
        if (index) {
            auto it = index->find(name);
            return it == index->end() ? nullptr : &chains[it->second];
        }
        for (chain &c : chains)
            if (name == c.head->name) return &c;
        return nullptr;
    }
    void add_chain(ezxml *node, std::string_view name) {
        if (!chains.empty()) chains.back().head->sibling = node;
        chains.push_back({node, node});
        if (!index && chains.size() > kScanNames) {
            index = std::make_unique<std::unordered_map<std::string_view, size_t>>();
            for (size_t i = 0; i < chains.size(); ++i) index->emplace(chains[i].head->name, i);
        } else if (index) {
            index->emplace(name, chains.size() - 1);
        }
    }
};

struct raw_attr {
    size_t name_at, name_len, value_at, value_len;
};

class reader {
public:
    reader(ezxml_root_rec *root, char *buf, size_t buf_len, size_t end)
        : root_(root), impl_(root->impl), s_(buf), buf_len_(buf_len), end_(end) {}

    void run();

private:
    ezxml_root_rec *root_;
    doc_impl *impl_;
    char *s_;
    size_t buf_len_;  // writable bytes
    size_t end_;      // logical end of the text (<= buf_len_)
    size_t p_ = 0;
    bool failed_ = false;
    bool root_done_ = false;
    std::vector<frame> stack_;
    size_t counted_at_ = 0;  // line counter: bytes before this index are counted
    int line_ = 1;

    bool at(size_t i, const char *lit) const {
        size_t n = std::strlen(lit);
        return i <= end_ && end_ - i >= n && std::memcmp(s_ + i, lit, n) == 0;
    }
    size_t find(size_t from, const char *lit) const {
        size_t n = std::strlen(lit);
        for (size_t i = from; i + n <= end_; ++i)
            if (s_[i] == lit[0] && std::memcmp(s_ + i, lit, n) == 0) return i;
        return std::string_view::npos;
    }
    size_t skip_blanks(size_t i) const {
        while (i < end_ && is_blank(s_[i])) ++i;
        return i;
    }
    // Skips to the '>' ending a declaration, stepping over quoted strings; npos at the end.
    size_t skip_decl(size_t i) const {
        while (i < end_) {
            char c = s_[i];
            if (c == '>') return i;
            if (c == '"' || c == '\'') {
                ++i;
                while (i < end_ && s_[i] != c) ++i;
                if (i >= end_) return std::string_view::npos;
            }
            ++i;
        }
        return std::string_view::npos;
    }

    void count_lines(size_t upto) {
        if (upto > end_) upto = end_;
        for (; counted_at_ < upto; ++counted_at_)
            if (s_[counted_at_] == '\n') ++line_;
    }
    // Called before the buffer is written at index < upto.
    void touch(size_t upto) { count_lines(upto); }

    void fail(size_t pos, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    // The position of the quote that closes the literal opened by the quote at `open`, or
    // npos when the text ends first.
    size_t literal_end(size_t open) const {
        size_t at = open + 1;
        while (at < end_ && s_[at] != s_[open]) ++at;
        return at < end_ ? at : std::string_view::npos;
    }

    void decode(const char *a, size_t n, std::string &out, bool attr, int depth);
    size_t reference(const char *a, size_t n, std::string &out, bool attr, int depth);
    void add_text(size_t at, size_t len, bool cdata);
    void normalize_lines(const char *a, size_t n, std::string &out);
    char *store_text(std::string &&text);

    void start_tag();
    void end_tag();
    void comment();
    void cdata();
    void pi(bool in_dtd, size_t *next);
    void doctype();
    bool entity_decl(size_t *q);
    bool attlist_decl(size_t *q);
    void open_element(size_t name_at, size_t name_len, std::vector<raw_attr> &attrs);
    void close_element();
    void finish_text(frame &f);
};

void reader::fail(size_t pos, const char *fmt, ...) {
    count_lines(pos);
    // The message is cut, never the prefix: the error text always fits its 128 bytes.
    int n = std::snprintf(root_->err, sizeof root_->err, "[error near line %d]: ", line_);
    if (n < 0 || static_cast<size_t>(n) >= sizeof root_->err) n = sizeof root_->err - 1;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(root_->err + n, sizeof root_->err - n, fmt, ap);
    va_end(ap);
    failed_ = true;
}

char *reader::store_text(std::string &&text) {
    impl_->texts.push_back(std::move(text));
    return impl_->texts.back().data();
}

void reader::normalize_lines(const char *a, size_t n, std::string &out) {
    for (size_t i = 0; i < n; ++i) {
        if (a[i] == '\r') {
            out += '\n';
            if (i + 1 < n && a[i + 1] == '\n') ++i;
        } else {
            out += a[i];
        }
    }
}

void reader::decode(const char *a, size_t n, std::string &out, bool attr, int depth) {
    size_t i = 0;
    while (i < n) {
        size_t run = i;
        while (run < n && a[run] != '&' && a[run] != '\r' && !(attr && is_blank(a[run]))) ++run;
        out.append(a + i, run - i);
        i = run;
        if (i >= n) break;
        char c = a[i];
        if (c == '&') {
            size_t used = reference(a + i, n - i, out, attr, depth);
            if (used == 0) {
                out += '&';  // not a reference we replace: stays as written
                used = 1;
            }
            i += used;
        } else if (c == '\r') {
            out += attr ? ' ' : '\n';
            i += (i + 1 < n && a[i + 1] == '\n') ? 2 : 1;
        } else {  // blank in an attribute value
            out += ' ';
            ++i;
        }
    }
}

// Replaces the reference at the start of `a` (which begins with '&'): returns the bytes
// consumed, or 0 when it stays as written.
size_t reader::reference(const char *a, size_t n, std::string &out, bool attr, int depth) {
    if (n >= 2 && a[1] == '#') {
        bool hex = n >= 3 && a[2] == 'x';
        size_t j = hex ? 3 : 2;
        unsigned long cp = 0;
        size_t digits = 0;
        bool too_big = false;
        for (; j < n; ++j) {
            char c = a[j];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                break;
            ++digits;
            if (!too_big) {
                cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
                if (cp > 0x10FFFF) too_big = true;
            }
        }
        if (digits == 0 || j >= n || a[j] != ';' || cp == 0 || too_big) return 0;
        if (cp >= 0xD800 && cp < 0xE000) return 0;  // no character: no UTF-8 form
        put_utf8(out, cp);
        return j + 1;
    }
    size_t j = 1;
    while (j < n && is_name_char(a[j])) ++j;
    if (j == 1 || j >= n || a[j] != ';') return 0;
    auto it = impl_->entities.find(std::string(a + 1, j - 1));
    if (it == impl_->entities.end()) return 0;
    const entity &ent = it->second;
    if (!ent.predefined) {
        if (depth >= EZXML_MAX_ENTITY_DEPTH || impl_->expansions_left <= 0 ||
            ent.value.size() > impl_->expansion_bytes_left)
            return 0;
        --impl_->expansions_left;
        impl_->expansion_bytes_left -= ent.value.size();
    }
    decode(ent.value.data(), ent.value.size(), out, attr, depth + 1);
    return j + 1;
}

void reader::add_text(size_t at, size_t len, bool is_cdata) {
    if (len == 0 || stack_.empty()) return;
    frame &f = stack_.back();
    if (f.pieces == 0) {
        f.piece_at = at;
        f.piece_len = len;
    }
    ++f.pieces;
    if (is_cdata)
        normalize_lines(s_ + at, len, f.text);
    else
        decode(s_ + at, len, f.text, false, 0);
}

void reader::finish_text(frame &f) {
    ezxml *node = f.node;
    if (f.pieces == 0 || f.text.empty()) {
        node->txt = g_empty_text;
        return;
    }
    size_t n = f.text.size();
    if (f.pieces == 1 && n <= f.piece_len && f.piece_at + n < buf_len_) {
        touch(f.piece_at + f.piece_len + 1);
        std::memcpy(s_ + f.piece_at, f.text.data(), n);
        s_[f.piece_at + n] = '\0';
        node->txt = s_ + f.piece_at;
        return;
    }
    node->txt = store_text(std::move(f.text));
    node->flags |= EZXML_TXTM;
}

void reader::open_element(size_t name_at, size_t name_len, std::vector<raw_attr> &attrs) {
    ezxml *node;
    if (stack_.empty()) {
        node = &root_->node;
    } else {
        impl_->nodes.emplace_back();
        node = &impl_->nodes.back();
    }
    std::memset(node, 0, sizeof *node);
    node->txt = g_empty_text;
    node->attr = g_empty_attr;

    // Terminate the name and the attributes in place: every terminator lands on a delimiter
    // the scan has passed ('=', a blank, a quote, '/' or '>').
    std::string_view elem_name(s_ + name_at, name_len);
    if (!attrs.empty()) {
        impl_->attrs.emplace_back();
        std::vector<char *> &list = impl_->attrs.back();
        list.reserve(attrs.size() * 2 + 1);
        for (const raw_attr &a : attrs) {
            std::string v;
            decode(s_ + a.value_at, a.value_len, v, true, 0);
            const attr_decl *d =
                impl_->find_decl(elem_name, std::string_view(s_ + a.name_at, a.name_len));
            if (d && !d->cdata) collapse_spaces(v);
            touch(a.value_at + a.value_len + 1);
            char *value;
            if (v.size() <= a.value_len) {
                std::memcpy(s_ + a.value_at, v.data(), v.size());
                s_[a.value_at + v.size()] = '\0';
                value = s_ + a.value_at;
            } else {
                value = store_text(std::move(v));
                node->flags |= EZXML_ATTRM;
            }
            s_[a.name_at + a.name_len] = '\0';
            list.push_back(s_ + a.name_at);
            list.push_back(value);
        }
        list.push_back(nullptr);
        node->attr = list.data();
    }
    touch(name_at + name_len + 1);
    s_[name_at + name_len] = '\0';
    node->name = s_ + name_at;

    if (!stack_.empty()) {
        frame &pf = stack_.back();
        ezxml *parent = pf.node;
        node->parent = parent;
        node->off = pf.text.size();
        if (pf.last_child)
            pf.last_child->ordered = node;
        else
            parent->child = node;
        pf.last_child = node;
        std::string_view nm(node->name, name_len);
        if (frame::chain *c = pf.find_chain(nm)) {
            c->tail->next = node;
            c->tail = node;
        } else {
            pf.add_chain(node, nm);
        }
    }
    root_->cur = node;
    stack_.emplace_back();
    stack_.back().node = node;
}

void reader::close_element() {
    finish_text(stack_.back());
    stack_.pop_back();
    if (stack_.empty()) {
        root_done_ = true;
        root_->cur = nullptr;
    } else {
        root_->cur = stack_.back().node;
    }
}

void reader::start_tag() {
    if (root_done_) return fail(p_, "markup outside of root element");
    size_t q = p_ + 1;
    size_t name_at = q;
    while (q < end_ && !is_blank(s_[q]) && s_[q] != '/' && s_[q] != '>') ++q;
    size_t name_len = q - name_at;
    std::vector<raw_attr> attrs;
    for (;;) {
        q = skip_blanks(q);
        if (q >= end_) return fail(q, "missing >");
        if (s_[q] == '>') {
            p_ = q + 1;
            open_element(name_at, name_len, attrs);
            return;
        }
        if (s_[q] == '/') {
            if (q + 1 < end_ && s_[q + 1] == '>') {
                p_ = q + 2;
                open_element(name_at, name_len, attrs);
                close_element();
                return;
            }
            return fail(q, "missing >");
        }
        raw_attr a{};
        a.name_at = q;
        while (q < end_ && !is_blank(s_[q]) && s_[q] != '=' && s_[q] != '/' && s_[q] != '>') ++q;
        a.name_len = q - a.name_at;
        q = skip_blanks(q);
        if (a.name_len == 0 || q >= end_ || s_[q] != '=') return fail(q, "missing >");
        q = skip_blanks(q + 1);
        if (q >= end_ || (s_[q] != '"' && s_[q] != '\'')) return fail(q, "missing >");
        char quote = s_[q];
        a.value_at = q + 1;
        q = a.value_at;
        while (q < end_ && s_[q] != quote) ++q;
        if (q >= end_) return fail(q, "missing %c", quote);
        a.value_len = q - a.value_at;
        ++q;
        attrs.push_back(a);
    }
}

void reader::end_tag() {
    size_t q = p_ + 2;
    size_t name_at = q;
    while (q < end_ && !is_blank(s_[q]) && s_[q] != '>') ++q;
    std::string_view name(s_ + name_at, q - name_at);
    q = skip_blanks(q);
    if (q >= end_ || s_[q] != '>') return fail(q, "missing >");
    if (stack_.empty() || name != std::string_view(stack_.back().node->name))
        return fail(p_, "unexpected closing tag </%.*s>", static_cast<int>(name.size()),
                    name.data());
    p_ = q + 1;
    close_element();
}

void reader::comment() {
    size_t q = find(p_ + 4, "-->");
    if (q == std::string_view::npos) return fail(end_, "unclosed <!--");
    p_ = q + 3;
}

void reader::cdata() {
    size_t at = p_ + 9;
    size_t q = find(at, "]]>");
    if (q == std::string_view::npos) return fail(end_, "unclosed <![CDATA[");
    add_text(at, q - at, true);
    p_ = q + 3;
}

// Reads "<?target content?>" at p_ (or at *next inside a DTD) and stores it by target; the
// xml declaration sets the standalone flag instead.
void reader::pi(bool in_dtd, size_t *next) {
    size_t start = in_dtd ? *next : p_;
    size_t q = find(start + 2, "?>");
    if (q == std::string_view::npos) return fail(end_, "unclosed <?");
    size_t t = start + 2;
    size_t te = t;
    while (te < q && !is_blank(s_[te])) ++te;
    std::string target(s_ + t, te - t);
    size_t c = skip_blanks(te);
    if (c > q) c = q;
    std::string_view content(s_ + c, q - c);
    if (target == "xml") {
        size_t k = content.find("standalone");
        if (k != std::string_view::npos) {
            k += 10;
            while (k < content.size() && is_blank(content[k])) ++k;
            if (k < content.size() && content[k] == '=') {
                ++k;
                while (k < content.size() && is_blank(content[k])) ++k;
                if (k < content.size() && (content[k] == '"' || content[k] == '\''))
                    root_->standalone = content.substr(k + 1, 3) == "yes" ? 1 : 0;
            }
        }
    } else if (!target.empty()) {
        std::string text;
        normalize_lines(content.data(), content.size(), text);
        impl_->pis[target].push_back(store_text(std::move(text)));
    }
    if (in_dtd)
        *next = q + 2;
    else
        p_ = q + 2;
}

bool reader::entity_decl(size_t *pq) {
    size_t q = skip_blanks(*pq + 8);
    bool parameter = false;
    if (q < end_ && s_[q] == '%') {
        parameter = true;
        q = skip_blanks(q + 1);
    }
    size_t name_at = q;
    while (q < end_ && !is_blank(s_[q]) && s_[q] != '"' && s_[q] != '\'' && s_[q] != '>') ++q;
    std::string name(s_ + name_at, q - name_at);
    q = skip_blanks(q);
    if (q >= end_) {
        fail(end_, "unclosed <!DOCTYPE");
        return false;
    }
    if (!parameter && !name.empty() && (s_[q] == '"' || s_[q] == '\'')) {
        const size_t v = q + 1;
        const size_t ve = literal_end(q);
        if (ve == std::string_view::npos) {
            fail(end_, "unclosed <!DOCTYPE");
            return false;
        }
        if (!impl_->entities.count(name)) {
            entity ent;
            ent.value.assign(s_ + v, ve - v);
            ent.refs = entity_refs(ent.value);
            // A cycle must pass through the new entity: look for it from its references.
            std::vector<const std::string *> todo;
            std::unordered_set<std::string_view> seen;
            for (const std::string &r : ent.refs) todo.push_back(&r);
            while (!todo.empty() && impl_->cycle_work_left > 0) {
                const std::string *r = todo.back();
                todo.pop_back();
                --impl_->cycle_work_left;
                if (*r == name) {
                    fail(name_at, "circular entity declaration &%s", name.c_str());
                    return false;
                }
                if (!seen.insert(*r).second) continue;
                auto it = impl_->entities.find(*r);
                if (it == impl_->entities.end()) continue;
                for (const std::string &rr : it->second.refs) todo.push_back(&rr);
            }
            impl_->entities.emplace(std::move(name), std::move(ent));
        }
        q = ve + 1;
    }
    size_t gt = skip_decl(q);
    if (gt == std::string_view::npos) {
        fail(end_, "unclosed <!DOCTYPE");
        return false;
    }
    *pq = gt + 1;
    return true;
}

bool reader::attlist_decl(size_t *pq) {
    size_t start = *pq;
    size_t q = skip_blanks(start + 9);
    size_t el_at = q;
    while (q < end_ && !is_blank(s_[q]) && s_[q] != '>') ++q;
    std::string element(s_ + el_at, q - el_at);
    for (;;) {
        q = skip_blanks(q);
        if (q >= end_) {
            fail(end_, "unclosed <!ATTLIST");
            return false;
        }
        if (s_[q] == '>') break;
        attr_decl d;
        size_t n_at = q;
        while (q < end_ && !is_blank(s_[q]) && s_[q] != '>') ++q;
        d.name.assign(s_ + n_at, q - n_at);
        q = skip_blanks(q);
        if (q >= end_) {
            fail(end_, "unclosed <!ATTLIST");
            return false;
        }
        // type: a keyword, optionally followed by an enumeration, or an enumeration
        size_t t_at = q;
        while (q < end_ && !is_blank(s_[q]) && s_[q] != '>' && s_[q] != '(') ++q;
        std::string_view type(s_ + t_at, q - t_at);
        q = skip_blanks(q);
        if (q < end_ && s_[q] == '(') {
            while (q < end_ && s_[q] != ')') ++q;
            if (q >= end_) {
                fail(end_, "unclosed <!ATTLIST");
                return false;
            }
            ++q;
        } else if (type.empty()) {
            fail(q, "malformed <!ATTLIST");
            return false;
        }
        d.cdata = type == "CDATA";
        q = skip_blanks(q);
        if (q >= end_) {
            fail(end_, "unclosed <!ATTLIST");
            return false;
        }
        if (s_[q] == '#') {
            size_t k_at = q;
            while (q < end_ && !is_blank(s_[q]) && s_[q] != '>') ++q;
            std::string_view kw(s_ + k_at, q - k_at);
            if (kw == "#FIXED") {
                q = skip_blanks(q);
            } else if (kw == "#REQUIRED" || kw == "#IMPLIED") {
                impl_->attr_decls[element].try_emplace(std::string(d.name), std::move(d));
                continue;
            } else {
                fail(k_at, "malformed <!ATTLIST");
                return false;
            }
        }
        if (q >= end_) {
            fail(end_, "unclosed <!ATTLIST");
            return false;
        }
        if (s_[q] != '"' && s_[q] != '\'') {
            fail(q, "malformed <!ATTLIST");
            return false;
        }
        const size_t v = q + 1;
        const size_t ve = literal_end(q);
        if (ve == std::string_view::npos) {
            fail(end_, "unclosed <!ATTLIST");
            return false;
        }
        decode(s_ + v, ve - v, d.value, true, 0);
        if (!d.cdata) collapse_spaces(d.value);
        d.has_default = true;
        impl_->attr_decls[element].try_emplace(std::string(d.name), std::move(d));
        q = ve + 1;
    }
    *pq = q + 1;
    return true;
}

void reader::doctype() {
    size_t q = p_ + 9;
    // external identifier and name, up to the internal subset or the end of the declaration
    while (q < end_ && s_[q] != '[' && s_[q] != '>') {
        char c = s_[q];
        if (c == '"' || c == '\'') {
            ++q;
            while (q < end_ && s_[q] != c) ++q;
            if (q >= end_) break;
        }
        ++q;
    }
    if (q >= end_) return fail(end_, "unclosed <!DOCTYPE");
    if (s_[q] == '>') {
        p_ = q + 1;
        return;
    }
    ++q;
    for (;;) {
        q = skip_blanks(q);
        if (q >= end_) return fail(end_, "unclosed <!DOCTYPE");
        if (s_[q] == ']') {
            size_t gt = q + 1;
            while (gt < end_ && s_[gt] != '>') ++gt;
            if (gt >= end_) return fail(end_, "unclosed <!DOCTYPE");
            p_ = gt + 1;
            return;
        }
        if (at(q, "<!ENTITY")) {
            if (!entity_decl(&q)) return;
        } else if (at(q, "<!ATTLIST")) {
            if (!attlist_decl(&q)) return;
        } else if (at(q, "<!--")) {
            size_t c = find(q + 4, "-->");
            if (c == std::string_view::npos) return fail(end_, "unclosed <!--");
            q = c + 3;
        } else if (at(q, "<?")) {
            pi(true, &q);
            if (failed_) return;
        } else if (at(q, "<!")) {
            size_t gt = skip_decl(q + 2);
            if (gt == std::string_view::npos) return fail(end_, "unclosed <!DOCTYPE");
            q = gt + 1;
        } else {
            ++q;  // parameter-entity references and stray characters are not read
        }
    }
}

void reader::run() {
    // Text before the first '<' is skipped.
    while (p_ < end_ && s_[p_] != '<') ++p_;
    while (!failed_ && p_ < end_) {
        if (s_[p_] != '<') {
            size_t q = p_;
            while (q < end_ && s_[q] != '<') ++q;
            add_text(p_, q - p_, false);
            p_ = q;
            continue;
        }
        if (p_ + 1 >= end_) {
            fail(p_, "unexpected <");
        } else if (s_[p_ + 1] == '/') {
            end_tag();
        } else if (at(p_, "<!--")) {
            comment();
        } else if (at(p_, "<![CDATA[")) {
            cdata();
        } else if (at(p_, "<!DOCTYPE")) {
            doctype();
        } else if (s_[p_ + 1] == '?') {
            pi(false, nullptr);
        } else if (is_name_start(s_[p_ + 1])) {
            start_tag();
        } else {
            fail(p_, "unexpected <");
        }
    }
    if (!failed_) {
        if (!stack_.empty())
            fail(end_, "unclosed tag <%s>", stack_.back().node->name);
        else if (!root_done_)
            fail(end_, "root tag missing");
    }
    // Whatever is still open keeps the text read so far.
    while (!stack_.empty()) {
        finish_text(stack_.back());
        stack_.pop_back();
    }
    for (auto &[target, list] : impl_->pis) list.push_back(nullptr);
}

ezxml_root_rec *root_of(ezxml_t xml) {
    while (xml->parent) xml = xml->parent;
    return reinterpret_cast<ezxml_root_rec *>(xml);
}

}  // namespace

static_assert(offsetof(ezxml_root_rec, node) == 0, "root record must start with the root node");

extern "C" ezxml_t ezxml_parse_str(char *s, size_t len) {
    if (!s) return nullptr;
    auto *root = static_cast<ezxml_root_rec *>(std::calloc(1, sizeof(ezxml_root_rec)));
    if (!root) return nullptr;
    root->node.name = g_empty_text;
    root->node.txt = g_empty_text;
    root->node.attr = g_empty_attr;
    root->impl = new (std::nothrow) doc_impl;
    if (!root->impl) {
        std::free(root);
        return nullptr;
    }
    try {
        static const char *const predefined[][2] = {{"lt", "&#60;"},
                                                    {"gt", "&#62;"},
                                                    {"quot", "&#34;"},
                                                    {"apos", "&#39;"},
                                                    {"amp", "&#38;"}};
        for (const auto &e : predefined) {
            entity ent;
            ent.value = e[1];
            ent.predefined = true;
            root->impl->entities.emplace(e[0], std::move(ent));
        }
    } catch (const std::bad_alloc &) {
        delete root->impl;
        std::free(root);
        return nullptr;
    }

    char *buf = s;
    size_t buf_len = len;
    auto *b = reinterpret_cast<unsigned char *>(s);
    if (len >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE))) {
        size_t n = 0;
        root->u = utf16_to_utf8(b + 2, len - 2, b[0] == 0xFE, &n);
        if (!root->u) {
            std::snprintf(root->err, sizeof root->err, "[error near line 1]: %s", "out of memory");
            return &root->node;
        }
        buf = root->u;
        buf_len = n;
    }
    root->m = buf;
    root->len = buf_len;
    if (buf_len == 0) {
        std::snprintf(root->err, sizeof root->err, "[error near line 1]: %s", "root tag missing");
        return &root->node;
    }

    // The last byte becomes a NUL; a '>' there still closes its tag. Reading stops at an
    // earlier NUL.
    size_t end = buf_len - 1;
    if (const void *nul = std::memchr(buf, '\0', buf_len - 1))
        end = static_cast<size_t>(static_cast<const char *>(nul) - buf);
    else if (buf[buf_len - 1] == '>')
        end = buf_len;
    root->s = buf;
    root->e = buf + end;

    reader r(root, buf, buf_len, end);
    try {
        r.run();
    } catch (const std::bad_alloc &) {
        std::snprintf(root->err, sizeof root->err, "[error near line 1]: %s", "out of memory");
    }
    buf[buf_len - 1] = '\0';
    return &root->node;
}

extern "C" ezxml_t ezxml_child(ezxml_t xml, const char *name) {
    if (!xml || !name) return nullptr;
    ezxml_t c = xml->child;
    while (c && std::strcmp(c->name, name) != 0) c = c->sibling;
    return c;
}

extern "C" const char *ezxml_attr(ezxml_t xml, const char *name) {
    if (!xml || !name || !xml->attr) return nullptr;
    for (char **a = xml->attr; a[0]; a += 2)
        if (std::strcmp(a[0], name) == 0) return a[1];
    const ezxml_root_rec *root = root_of(xml);
    if (!root->impl || !xml->name) return nullptr;
    const attr_decl *d = root->impl->find_decl(xml->name, name);
    return d && d->has_default ? d->value.c_str() : nullptr;
}

extern "C" const char **ezxml_pi(ezxml_t xml, const char *target) {
    if (!xml || !target) return g_empty_pi;
    const ezxml_root_rec *root = root_of(xml);
    if (!root->impl) return g_empty_pi;
    auto it = root->impl->pis.find(std::string_view(target));
    if (it == root->impl->pis.end() || it->second.empty() || it->second.back()) return g_empty_pi;
    return it->second.data();
}

extern "C" void ezxml_free(ezxml_t xml) {
    if (!xml || xml->parent) return;
    auto *root = reinterpret_cast<ezxml_root_rec *>(xml);
    delete root->impl;
    std::free(root->u);
    std::free(root);
}

extern "C" const char *ezxml_error(ezxml_t xml) {
    if (!xml) return "";
    return root_of(xml)->err;
}
