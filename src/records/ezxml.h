/* Small non-validating in-place XML tree reader.
 *
 * The reader turns a document held in a writable buffer into a tree of element nodes.
 * Names, attribute values and texts point into that buffer, which the reader cuts with NUL
 * bytes and rewrites where references are replaced: after reading, the buffer no longer
 * holds the original text (callers that need it keep a copy). Texts that grow beyond the
 * room they had in the buffer (entity replacement, joined text pieces) are allocated by the
 * reader and marked in `flags`.
 *
 * The API is C-compatible. None of the functions keeps global state: distinct documents may
 * be read and walked on different threads at the same time; one tree must not be used by two
 * threads at once.
 *
 * Resource bounds (any input, malformed or hostile, is read without reading or writing
 * outside the given buffer):
 *  - entity expansion: per document, at most EZXML_MAX_EXPANSIONS references to declared
 *    entities are replaced, replacing at most EZXML_MAX_TEXT bytes of entity text in all,
 *    and entity texts nest at most EZXML_MAX_ENTITY_DEPTH deep; a reference beyond a bound
 *    stays as written (the five predefined entities are always replaced). A declaration
 *    whose replacement refers back to itself (directly or through other entities) ends
 *    reading with "circular entity declaration &%s". Memory is thus bounded by a small
 *    multiple of the input plus EZXML_MAX_TEXT.
 *  - nesting depth is unbounded but walked without recursion (no stack growth per level).
 */
#ifndef QV_EZXML_H
#define QV_EZXML_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EZXML_ERRL 128               /* size of the error text, terminator included */
#define EZXML_MAX_ENTITY_DEPTH 32    /* nesting of entity references within entity texts */
#define EZXML_MAX_EXPANSIONS 1000000 /* entity replacements per document */
#define EZXML_MAX_TEXT (16u << 20)   /* bytes of entity text replaced per document */

/* flags of a node (names always point into the buffer) */
#define EZXML_TXTM 0x40  /* txt allocated by the reader (it did not fit where it was read) */
#define EZXML_ATTRM 0x20 /* at least one attribute value allocated by the reader */

typedef struct ezxml *ezxml_t;

/* One element. Every pointer is owned by the tree (ezxml_free releases what the reader
 * allocated); callers only read. */
struct ezxml {
    char *name;      /* element name */
    char **attr;     /* name, value, name, value, ..., null; a shared empty list when none */
    char *txt;       /* character content with references replaced, pieces between child
                        elements joined; "" when none */
    size_t off;      /* byte position of this element within its parent's txt */
    ezxml_t next;    /* next sibling with the same name */
    ezxml_t sibling; /* first following sibling with a different name (one per name) */
    ezxml_t ordered; /* next sibling in document order */
    ezxml_t child;   /* first child */
    ezxml_t parent;  /* null for the root element */
    short flags;     /* EZXML_TXTM / EZXML_ATTRM */
};

/* Reads `len` bytes of the writable buffer `s` (its last byte is overwritten with a NUL, as
 * is every byte the tree needs as a terminator) and returns the root element. Returns a root
 * also when the document is malformed: it then holds what was read before the error and
 * ezxml_error() gives "[error near line N]: message". Returns null only when `s` is null or
 * memory for the root record runs out. The caller frees the result with ezxml_free() and
 * keeps `s` alive and unchanged until then (the buffer is not freed by ezxml_free).
 * REQUIRES: s has at least len writable bytes. */
ezxml_t ezxml_parse_str(char *s, size_t len);

/* First child element of `xml` named exactly `name`; the following ones are reached through
 * `next`. Null when there is none or when `xml` or `name` is null. */
ezxml_t ezxml_child(ezxml_t xml, const char *name);

/* Value of attribute `name` of `xml`; when absent, the default declared for that element
 * name in the internal DTD; else null (also for null arguments). Owned by the tree. */
const char *ezxml_attr(ezxml_t xml, const char *name);

/* Frees the whole tree `xml` belongs to when `xml` is the root returned by ezxml_parse_str;
 * does nothing for null or for an inner node. */
void ezxml_free(ezxml_t xml);

/* Contents of the processing instructions with target `target`, in document order, as a
 * null-terminated list (the xml declaration is not one: it only sets the standalone flag).
 * An empty list when there are none. Owned by the tree. */
const char **ezxml_pi(ezxml_t xml, const char *target);

/* Error text of the document `xml` belongs to: "" when reading succeeded or `xml` is null.
 * Owned by the tree. */
const char *ezxml_error(ezxml_t xml);

#ifdef __cplusplus
}
#endif

#endif /* QV_EZXML_H */
