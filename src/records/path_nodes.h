// The path-node table the parser and the upload filter share, and their SAX run. A node stands for
// one element path met in the running parse; it is found from the node of the parent path and the
// element's name as libxml2 reports it, an address in the parse's dictionary, so equal names
// are equal pointers and no text is compared. A context `Ctx` provides `node_slot` (node
// indexes by hash, -1 for an empty slot; a power-of-two size at most 2048, at most half full),
// `nodes` (each with `parent`, `first`, `next` and the name pointer `Name`), `node` (the
// node of the current path, none when it has none) and `prev` (the child of `node` that ended
// last, none since `node` started).
#pragma once

#include <libxml/parser.h>
#include <libxml/xmlstring.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace path_nodes {

inline constexpr int none = -1;

template <typename Ctx>
size_t slot_of(const Ctx * /*table*/, int parent, const xmlChar *name) {
    constexpr size_t slots = std::extent_v<decltype(Ctx::node_slot)>;
    static_assert((slots & (slots - 1)) == 0 && slots <= 2048, "hash bits of the table");
    uint64_t key = reinterpret_cast<uintptr_t>(name) ^ (static_cast<uint64_t>(parent) << 48);
    key *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(key >> 53) & (slots - 1);  // the top 11 bits
}

// The node reached from `parent` by `name`, or none.
template <auto Name, typename Ctx>
int find(const Ctx *c, int parent, const xmlChar *name) {
    constexpr size_t slots = std::extent_v<decltype(Ctx::node_slot)>;
    for (size_t i = slot_of(c, parent, name);; i = (i + 1) & (slots - 1)) {
        const int n = c->node_slot[i];
        if (n < 0) return none;
        if (c->nodes[n].*Name == name && c->nodes[n].parent == parent) return n;
    }
}

// Where the node that follows `prev` below `parent` (the first child when `prev` is none) is
// remembered: documents repeat their element order, so that node is most often the next.
template <typename Ctx>
inline auto &prediction(Ctx *c, int parent, int prev) {
    return prev >= 0 ? c->nodes[prev].next : c->nodes[parent].first;
}

// The node of the element starting now (named `name`) below the current path's node, or none.
template <auto Name, typename Ctx>
inline int child(Ctx *c, const xmlChar *name) {
    const int parent = c->node;
    if (parent < 0) return none;
    auto &guess = prediction(c, parent, c->prev);
    if (guess >= 0 && c->nodes[guess].*Name == name) return guess;  // a child of `parent`
    const int n = find<Name>(c, parent, name);
    if (n >= 0) guess = static_cast<std::remove_reference_t<decltype(guess)>>(n);
    return n;
}

// Enters node `n`, just filled in as the child of `parent` named `name`, into the table and
// as the prediction after the current `prev`.
template <typename Ctx>
void insert(Ctx *c, int parent, const xmlChar *name, int n) {
    constexpr size_t slots = std::extent_v<decltype(Ctx::node_slot)>;
    size_t i = slot_of(c, parent, name);
    while (c->node_slot[i] >= 0) i = (i + 1) & (slots - 1);
    using slot_type = std::remove_reference_t<decltype(c->node_slot[0])>;
    c->node_slot[i] = static_cast<slot_type>(n);
    auto &guess = prediction(c, parent, c->prev);
    guess = static_cast<std::remove_reference_t<decltype(guess)>>(n);
}

// What xmlSAXUserParseMemory(&handlers, ctx, data, len) does, step by step, so that the
// handlers know the dictionary of the running parse (`ctx->dict`, null again afterwards).
// Same result: 0 for a well-formed document, else libxml2's error number (-1 when it has
// none), and -1 when no parser can be set up (a null text or a length of 0 or less among
// those).
template <typename Ctx>
int sax_parse(const xmlSAXHandler &handlers, Ctx *ctx, const char *data, int len) {
    xmlParserCtxtPtr parser = xmlCreateMemoryParserCtxt(data, len);
    if (parser == nullptr) return -1;
    if (parser->sax == nullptr) {
        xmlFreeParserCtxt(parser);
        return -1;
    }
    *parser->sax = handlers;  // the parser's own copy, freed with it
    parser->userData = ctx;
    ctx->dict = parser->dict;
    xmlParseDocument(parser);
    const int result = parser->wellFormed ? 0 : (parser->errNo != 0 ? parser->errNo : -1);
    ctx->dict = nullptr;
    if (parser->myDoc != nullptr) {  // the handlers build no tree; freed as libxml2 would
        xmlFreeDoc(parser->myDoc);
        parser->myDoc = nullptr;
    }
    xmlFreeParserCtxt(parser);
    return result;
}

}  // namespace path_nodes
