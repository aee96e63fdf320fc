// Pieces shared by the benchmarks: the full-capacity setup document and the physical
// reference of every parser benchmark, a libxml2 SAX pass with empty handlers.
#pragma once

#include <libxml/parser.h>

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

// A first-generation SAX table whose three handlers do nothing.
inline xmlSAXHandler bench_empty_sax() {
    xmlSAXHandler h;
    std::memset(&h, 0, sizeof h);
    h.initialized = 1;
    h.startElement = [](void *, const xmlChar *, const xmlChar **) {};
    h.endElement = [](void *, const xmlChar *) {};
    h.characters = [](void *, const xmlChar *, int) {};
    return h;
}

// CPU time of the calling thread in microseconds: both sides of a paired measurement are
// slowed alike by other load on the machine.
inline double bench_thread_cpu_us() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}
