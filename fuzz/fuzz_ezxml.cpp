// ezxml_parse_str over fuzzed documents, then a walk of the whole tree through the public
// entry points (ezxml_child, ezxml_attr, ezxml_pi, ezxml_error), reading every text.
//
// Checked, for every element: name and text are readable strings; every child's parent is
// the element, ezxml_child finds a child of that name, the `next` chain keeps the name;
// every attribute listed is found by ezxml_attr; the error text fits EZXML_ERRL. The buffer
// is allocated to the input's size, so reading or writing past it is an ASan report.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_records.h"
#include "records/ezxml.h"

namespace {

volatile size_t g_sink;  // keeps the reads of the walk from being optimised away

void read_text(const char *text, const char *what) {
    if (text == nullptr) fuzz_fail("null text", what);
    g_sink = g_sink + std::strlen(text);
}

void check_element(ezxml_t node) {
    read_text(node->name, "name");
    read_text(node->txt, "txt");
    if (node->attr == nullptr) fuzz_fail("null attribute list", node->name);
    for (char **a = node->attr; a[0] != nullptr; a += 2) {
        read_text(a[0], "attribute name");
        read_text(a[1], "attribute value");
        const char *found = ezxml_attr(node, a[0]);
        if (found == nullptr) fuzz_fail("listed attribute not found", a[0]);
        read_text(found, "attribute lookup");
    }
    read_text(ezxml_attr(node, "id") ? ezxml_attr(node, "id") : "", "id");
    for (ezxml_t same = node->next; same != nullptr; same = same->next)
        if (std::strcmp(same->name, node->name) != 0) fuzz_fail("next chain changes name", "");
    for (ezxml_t c = node->child; c != nullptr; c = c->ordered) {
        if (c->parent != node) fuzz_fail("child with a wrong parent", c->name);
        ezxml_t first = ezxml_child(node, c->name);
        if (first == nullptr || std::strcmp(first->name, c->name) != 0)
            fuzz_fail("ezxml_child misses a child", c->name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> buffer(data, data + size);
    char one[1] = {0};
    char *text = size > 0 ? buffer.data() : one;
    ezxml_t root = ezxml_parse_str(text, size);
    if (root == nullptr) fuzz_fail("null root for a non-null buffer", "");

    const char *error = ezxml_error(root);
    read_text(error, "error");
    if (std::strlen(error) >= EZXML_ERRL) fuzz_fail("error text too long", error);
    for (const char *target : {"xml-stylesheet", "x", ""}) {
        const char **pi = ezxml_pi(root, target);
        if (pi == nullptr) fuzz_fail("null pi list", target);
        for (; *pi != nullptr; ++pi) read_text(*pi, "pi");
    }
    if (root->parent != nullptr) fuzz_fail("root with a parent", "");

    // Depth-first in document order without recursion (nesting is unbounded).
    std::vector<ezxml_t> stack{root};
    while (!stack.empty()) {
        ezxml_t node = stack.back();
        stack.pop_back();
        check_element(node);
        for (ezxml_t c = node->child; c != nullptr; c = c->ordered) stack.push_back(c);
    }
    // The walk the power-meter post-parser does.
    for (ezxml_t meter = ezxml_child(root, "Meter"); meter; meter = meter->next)
        for (ezxml_t val = ezxml_child(meter, "Val"); val; val = val->next) {
            read_text(ezxml_attr(val, "id") ? ezxml_attr(val, "id") : "", "id");
            ezxml_t value = ezxml_child(val, "Value");
            if (value != nullptr) read_text(value->txt, "Value");
        }
    ezxml_free(root);
    return 0;
}
