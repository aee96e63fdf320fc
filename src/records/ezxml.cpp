// Placeholder while the reader is written: every document reads as empty.
#include "records/ezxml.h"

#include <cstdlib>
#include <cstring>

namespace {
char *empty_attr[] = {nullptr};
struct root_rec {
    ezxml node;
    char err[EZXML_ERRL];
};
}  // namespace

extern "C" ezxml_t ezxml_parse_str(char *s, size_t) {
    if (!s) return nullptr;
    auto *r = static_cast<root_rec *>(std::calloc(1, sizeof(root_rec)));
    if (!r) return nullptr;
    r->node.name = const_cast<char *>("");
    r->node.txt = const_cast<char *>("");
    r->node.attr = empty_attr;
    std::strcpy(r->err, "[error near line 1]: root tag missing");
    return &r->node;
}
extern "C" ezxml_t ezxml_child(ezxml_t, const char *) {
    return nullptr;
}
extern "C" const char *ezxml_attr(ezxml_t, const char *) {
    return nullptr;
}
extern "C" void ezxml_free(ezxml_t xml) {
    std::free(xml);
}
extern "C" const char *ezxml_error(ezxml_t xml) {
    return xml ? reinterpret_cast<root_rec *>(xml)->err : "";
}
