// The upload filter against one bare libxml2 SAX pass with empty handlers over the same
// full-capacity setup document, side by side in one run.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "records/records.h"
#include "records/xml_parse.h"
#include "records/xml_setup.h"

namespace {

void BM_bare_sax_pass(benchmark::State &state) {
    const std::string &doc = bench_full_document();
    xmlSAXHandler sax = bench_empty_sax();
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
    const std::string &doc = bench_full_document();
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

// Both side by side (bench_pairs): the figure is the median ratio filter / one bare pass;
// ratio_vs_two is the same against the two passes the filter makes by design.
void BM_side_by_side(benchmark::State &state) {
    const std::string &doc = bench_full_document();
    xmlSAXHandler sax = bench_empty_sax();
    std::vector<char> buffer(doc.size() + 1024, '\0');
    bench_pairs pairs;
    for (auto _ : state) {
        std::memset(buffer.data(), 0, buffer.size());
        std::memcpy(buffer.data(), doc.data(), doc.size());
        const bool ok = pairs.sample(
            [&] {
                return xml_setup_prepare(1, buffer.data(), static_cast<int>(buffer.size())) == 0;
            },
            [&] {
                return xmlSAXUserParseMemory(&sax, nullptr, doc.data(),
                                             static_cast<int>(doc.size())) == 0;
            });
        if (!ok) {
            state.SkipWithError("xml_setup_prepare refused the document");
            break;
        }
    }
    pairs.report(state, "filter", "bare");
    if (state.counters.count("ratio") != 0)
        state.counters["ratio_vs_two"] = state.counters["ratio"] / 2;
}

BENCHMARK(BM_bare_sax_pass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_xml_setup_prepare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_side_by_side)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

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
