// The upload filter against one bare libxml2 SAX pass over the same full-capacity setup
// document (every set at its capacity, every field at its longest text), side by side.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstring>
#include <string>
#include <vector>

#include "records/xml_setup.h"

namespace {

struct row {
    const char *path;
    int width;
    const char *set;  // null for a single field
    int capacity;
};

const row setup_rows[] = {
#define QV_FIELD(member, path, width) {path, width, nullptr, 1},
#define QV_SET_FIELD(set, member, path, width, capacity) {path, width, #set, capacity},
#include "qvxml_setup_fields.def"
#undef QV_FIELD
#undef QV_SET_FIELD
};

std::vector<std::string> split(const std::string &path) {
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t at; (at = path.find('_', start)) != std::string::npos; start = at + 1)
        names.push_back(path.substr(start, at - start));
    names.push_back(path.substr(start));
    return names;
}

// Writes leaves one per line, opening and closing containers as the paths change.
class writer {
public:
    void leaf(const std::vector<std::string> &names, const std::string &text) {
        size_t common = 0;
        while (common < open_.size() && common + 1 < names.size() && open_[common] == names[common])
            ++common;
        close_to(common);
        for (size_t i = common; i + 1 < names.size(); ++i) {
            line("<" + names[i] + ">");
            open_.push_back(names[i]);
        }
        line("<" + names.back() + ">" + text + "</" + names.back() + ">");
    }
    void close_to(size_t depth) {
        while (open_.size() > depth) {
            line("</" + open_.back() + ">");
            open_.pop_back();
        }
    }
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

private:
    void line(const std::string &s) { text += "\n" + s; }
    std::vector<std::string> open_;
};

std::string longest_text(int width, int salt) {
    std::string s;
    for (int i = 0; i < width - 2; ++i) s += static_cast<char>('A' + (i * 7 + salt) % 26);
    return s;
}

std::string full_capacity_document() {
    writer w;
    const size_t n = sizeof setup_rows / sizeof setup_rows[0];
    for (size_t r = 0; r < n;) {
        if (setup_rows[r].set == nullptr) {
            w.leaf(split(setup_rows[r].path), longest_text(setup_rows[r].width, int(r)));
            ++r;
            continue;
        }
        size_t end = r;
        while (end < n && setup_rows[end].set &&
               !std::strcmp(setup_rows[end].set, setup_rows[r].set))
            ++end;
        for (int k = 0; k < setup_rows[r].capacity; ++k) {
            for (size_t f = r; f < end; ++f)
                w.leaf(split(setup_rows[f].path), longest_text(setup_rows[f].width, k));
            w.close_to(2);  // Root, set: the next entry opens its own Entry
        }
        r = end;
    }
    w.close_to(0);
    return w.text;
}

const std::string &document() {
    static const std::string doc = full_capacity_document();
    return doc;
}

void empty_start(void *, const xmlChar *, const xmlChar **) {}
void empty_end(void *, const xmlChar *) {}
void empty_chars(void *, const xmlChar *, int) {}

void BM_bare_sax_pass(benchmark::State &state) {
    const std::string &doc = document();
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = 1;
    sax.startElement = empty_start;
    sax.endElement = empty_end;
    sax.characters = empty_chars;
    for (auto _ : state) {
        int r = xmlSAXUserParseMemory(&sax, nullptr, doc.data(), static_cast<int>(doc.size()));
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
}

// Includes copying the document into the upload buffer (document length + 1024), which the
// filter rewrites in place.
void BM_xml_setup_prepare(benchmark::State &state) {
    const std::string &doc = document();
    std::vector<char> buffer(doc.size() + 1024, '\0');
    int out_length = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data(), doc.data(), doc.size() + 1);
        if (xml_setup_prepare(1, buffer.data(), static_cast<int>(buffer.size())) != 0) {
            state.SkipWithError("xml_setup_prepare refused the document");
            break;
        }
        out_length = static_cast<int>(std::strlen(buffer.data()));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(doc.size()));
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
    state.counters["out_bytes"] = out_length;
}

BENCHMARK(BM_bare_sax_pass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_xml_setup_prepare)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    xmlInitParser();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xmlCleanupParser();
    return 0;
}
