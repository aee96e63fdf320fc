// Pieces shared by the benchmarks: the full-capacity setup document, the physical reference
// of every parser benchmark (a libxml2 SAX pass with empty handlers), and paired timing.
#pragma once

#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "records/records.h"
#include "records/xml_parse.h"

struct bench_setup_pair {
    kyvern_setup record;
    kyvern_setup_entry_count count;
};

// Every set at its capacity, every field at its longest parsable text (width - 2).
inline const bench_setup_pair &bench_full_record() {
    static const std::unique_ptr<bench_setup_pair> p = [] {
        auto s = std::make_unique<bench_setup_pair>();
        std::memset(s.get(), 0, sizeof *s);
        for (const auto &set : xml_setup_sets) *xml_set_count(&s->count, set) = set.capacity;
        int n = 0;
        for (const auto &f : xml_setup_fields)
            for (int k = 0; k < f.capacity; ++k, ++n) {
                char *slot = xml_field_slot(&s->record, f, k);
                for (int i = 0; i < f.width - 2; ++i)
                    slot[i] = static_cast<char>('a' + (n + i) % 26);
            }
        return s;
    }();
    return *p;
}

// The full-capacity record written by struct2xml, as an upload would be (about 190 KB).
inline const std::string &bench_full_document() {
    static const std::string doc = [] {
        std::vector<char> buf(QVXML_BUFFER_SIZE, '\0');
        if (struct2xml(&bench_full_record().record, &bench_full_record().count, buf.data(),
                       buf.size()) != 0)
            return std::string();
        return std::string(buf.data());
    }();
    return doc;
}

// A first-generation SAX table whose three handlers do nothing; the text handler also takes
// blank runs, as in the parser's and the filter's own tables, so that libxml2 skips its
// per-run test whether a run is ignorable on both sides: the cheapest pass it makes.
inline xmlSAXHandler bench_empty_sax() {
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    h.initialized = 1;
    h.startElement = [](void *, const xmlChar *, const xmlChar **) {};
    h.endElement = [](void *, const xmlChar *) {};
    h.characters = [](void *, const xmlChar *, int) {};
    h.ignorableWhitespace = h.characters;
    return h;
}

// CPU time of the calling thread in microseconds: both sides of a paired measurement are
// slowed alike by other load on the machine.
inline double bench_thread_cpu_us() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Wall-clock time in microseconds (steady clock): for work done by other threads and
// processes (a worker thread and device processes), which a thread's CPU clock does not see.
inline double bench_wall_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Paired timing on a shared, busy machine: each sample times the measured path and its
// reference back to back (which order goes first alternates), so both see the same load; the
// figure is the median of the per-pair ratios, with the 10th and 90th percentiles as its
// spread. The clock is the calling thread's CPU clock unless another is given.
class bench_pairs {
public:
    explicit bench_pairs(double (*clock)() = bench_thread_cpu_us) : clock_(clock) {}

    // Times `measured` and `reference` once each; returns false when either fails.
    template <typename Measured, typename Reference>
    bool sample(Measured &&measured, Reference &&reference) {
        const bool measured_first = (samples_.size() % 2) == 0;
        double m = 0, r = 0;
        bool ok = true;
        for (int turn = 0; turn < 2; ++turn) {
            const bool measure = (turn == 0) == measured_first;
            const double t0 = clock_();
            ok = (measure ? measured() : reference()) && ok;
            (measure ? m : r) = clock_() - t0;
        }
        if (r > 0) samples_.push_back({m, r});
        return ok;
    }

    // Counters <measured_name>_us and <reference_name>_us (medians of the samples) and ratio,
    // ratio_p10, ratio_p90 (measured / reference).
    void report(benchmark::State &state, const char *measured_name,
                const char *reference_name) const {
        if (samples_.empty()) return;
        std::vector<double> m, r, ratio;
        for (const auto &s : samples_) {
            m.push_back(s.first);
            r.push_back(s.second);
            ratio.push_back(s.first / s.second);
        }
        state.counters[std::string(measured_name) + "_us"] = quantile(m, 0.5);
        state.counters[std::string(reference_name) + "_us"] = quantile(r, 0.5);
        state.counters["ratio"] = quantile(ratio, 0.5);
        state.counters["ratio_p10"] = quantile(ratio, 0.1);
        state.counters["ratio_p90"] = quantile(ratio, 0.9);
    }

    static double quantile(std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
    }

    size_t size() const { return samples_.size(); }

private:
    double (*clock_)();
    std::vector<std::pair<double, double>> samples_;
};
