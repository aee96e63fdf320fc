// Parser and writer speed, each next to its physical reference in the same run:
// xml_parse of a full-capacity setup document vs a bare libxml2 SAX pass with empty
// handlers over the same bytes; struct2xml vs a memcpy of the same size.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/records.h"
#include "records/xml_parse.h"

namespace {

constexpr int kId = 5;

void BM_xml_parse_full_setup(benchmark::State &state) {
    const std::string &doc = bench_full_document();
    std::vector<char> work(doc.begin(), doc.end());
    xml_mutex_lock(0);
    for (auto _ : state) {
        const int r = xml_parse(kId, work.data(), static_cast<int>(work.size()), 1);
        benchmark::DoNotOptimize(r);
    }
    if (p_kyvern_setup_entry_count[kId]->User != 2 ||
        std::memcmp(p_kyvern_setup[kId], &bench_full_record().record, sizeof(kyvern_setup)) != 0)
        state.SkipWithError("parsed record differs from the written one");
    xml_mutex_unlock(0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * doc.size());
    state.counters["doc_bytes"] = static_cast<double>(doc.size());
}

void BM_libxml2_sax_empty_handlers(benchmark::State &state) {
    const std::string &doc = bench_full_document();
    xmlSAXHandler h = bench_empty_sax();
    for (auto _ : state) {
        const int r = xmlSAXUserParseMemory(&h, nullptr, doc.data(), static_cast<int>(doc.size()));
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * doc.size());
}

// The two passes above side by side (bench_pairs): the figure is the median ratio.
void BM_parse_vs_bare_sax_paired(benchmark::State &state) {
    const std::string &doc = bench_full_document();
    std::vector<char> work(doc.begin(), doc.end());
    xmlSAXHandler h = bench_empty_sax();
    bench_pairs pairs;
    xml_mutex_lock(0);
    for (auto _ : state) {
        pairs.sample(
            [&] { return xml_parse(kId, work.data(), static_cast<int>(work.size()), 1) == 0; },
            [&] {
                return xmlSAXUserParseMemory(&h, nullptr, doc.data(),
                                             static_cast<int>(doc.size())) == 0;
            });
    }
    xml_mutex_unlock(0);
    pairs.report(state, "parse", "sax");
}

void BM_struct2xml_full_setup(benchmark::State &state) {
    std::vector<char> buf(QVXML_BUFFER_SIZE, '\0');
    const size_t size = bench_full_document().size();
    for (auto _ : state) {
        buf[0] = '\0';
        const int r = struct2xml(&bench_full_record().record, &bench_full_record().count,
                                 buf.data(), buf.size());
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BM_memcpy_same_size(benchmark::State &state) {
    const std::string &doc = bench_full_document();
    std::vector<char> buf(QVXML_BUFFER_SIZE, '\0');
    for (auto _ : state) {
        std::memcpy(buf.data(), doc.data(), doc.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * doc.size());
}

}  // namespace

BENCHMARK(BM_xml_parse_full_setup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_libxml2_sax_empty_handlers)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_parse_vs_bare_sax_paired)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_struct2xml_full_setup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memcpy_same_size)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
    xmlInitParser();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xml_records_free(kId);
    return 0;
}
