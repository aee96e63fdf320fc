// The upload filter against one bare libxml2 SAX pass with empty handlers over the same
// full-capacity setup document, side by side in one run.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "records/records.h"
#include "records/xml_parse.h"
#include "records/xml_setup.h"

namespace {

struct setup_pair {
    kyvern_setup record;
    kyvern_setup_entry_count count;
};

// The full-capacity setup document: every set at its capacity, every field at its longest
// parsable text (width - 2), written by struct2xml as an upload would be.
const std::string &document() {
    static const std::string doc = [] {
        auto s = std::make_unique<setup_pair>();
        std::memset(s.get(), 0, sizeof *s);
        for (const auto &set : xml_setup_sets) *xml_set_count(&s->count, set) = set.capacity;
        int n = 0;
        for (const auto &f : xml_setup_fields)
            for (int k = 0; k < f.capacity; ++k, ++n) {
                char *slot = xml_field_slot(&s->record, f, k);
                for (int i = 0; i < f.width - 2; ++i)
                    slot[i] = static_cast<char>('a' + (n + i) % 26);
            }
        std::vector<char> buffer(QVXML_BUFFER_SIZE, '\0');
        if (struct2xml(&s->record, &s->count, buffer.data(), buffer.size()) != 0)
            return std::string();
        return std::string(buffer.data());
    }();
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

// The filter rewrites its buffer (document length + 1024, as the uploader passes it) in place;
// the copy that restores the document before each call is not timed.
void BM_xml_setup_prepare(benchmark::State &state) {
    const std::string &doc = document();
    std::vector<char> buffer(doc.size() + 1024, '\0');
    int out_length = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::memset(buffer.data(), 0, buffer.size());
        std::memcpy(buffer.data(), doc.data(), doc.size());
        state.ResumeTiming();
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

double thread_cpu_us() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

// Both in each iteration, timed on the thread's CPU clock, so that a busy machine slows both
// alike; reports the mean of each and their ratio (filter / bare pass).
void BM_side_by_side(benchmark::State &state) {
    const std::string &doc = document();
    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = 1;
    sax.startElement = empty_start;
    sax.endElement = empty_end;
    sax.characters = empty_chars;
    std::vector<char> buffer(doc.size() + 1024, '\0');
    double bare = 0, filter = 0;
    for (auto _ : state) {
        std::memset(buffer.data(), 0, buffer.size());
        std::memcpy(buffer.data(), doc.data(), doc.size());
        const double t0 = thread_cpu_us();
        int r = xmlSAXUserParseMemory(&sax, nullptr, doc.data(), static_cast<int>(doc.size()));
        benchmark::DoNotOptimize(r);
        const double t1 = thread_cpu_us();
        if (xml_setup_prepare(1, buffer.data(), static_cast<int>(buffer.size())) != 0) {
            state.SkipWithError("xml_setup_prepare refused the document");
            break;
        }
        const double t2 = thread_cpu_us();
        bare += t1 - t0;
        filter += t2 - t1;
    }
    const double n = static_cast<double>(state.iterations());
    if (n > 0 && bare > 0) {
        state.counters["bare_us"] = bare / n;
        state.counters["filter_us"] = filter / n;
        state.counters["ratio"] = filter / bare;
    }
}

BENCHMARK(BM_bare_sax_pass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_xml_setup_prepare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_side_by_side)->Unit(benchmark::kMicrosecond);

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
