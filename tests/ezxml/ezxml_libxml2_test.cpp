// The tree reader against libxml2's tree on generated well-formed documents: element names,
// joined text, text positions of children, attributes (with DTD defaults) and child order.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <map>
#include <random>
#include <set>

#include "ezxml_test_util.h"

namespace {

class doc_gen {
public:
    explicit doc_gen(unsigned seed) : rng_(seed) {}

    std::string document() {
        entities_.clear();
        std::string out;
        if (chance(2)) out += "<?xml version=\"1.0\"?>";
        out += misc();
        if (chance(2)) out += doctype();
        out += misc();
        out += element(0);
        out += misc();
        return out;
    }

private:
    std::mt19937 rng_;
    std::vector<std::string> entities_;

    bool chance(unsigned one_in) { return rng_() % one_in == 0; }
    template <size_t N>
    const char *pick(const char *const (&list)[N]) {
        return list[rng_() % N];
    }

    std::string name() {
        static const char *const names[] = {"a",    "b",         "Meter", "Val",
                                            "Name", "x1",        "_u",    "n.m",
                                            "d-e",  "\xC3\xA9t", "Input", "\xE6\x97\xA5"};
        return pick(names);
    }

    // Character data; `quote` is the delimiter of an attribute value (0 for text).
    std::string chars(char quote, int tokens) {
        static const char *const pieces[] = {
            "abc",      " ",      "xyz",  "0123",  "\t",        "\n",       "\r\n",
            "\r",       "&amp;",  "&lt;", "&gt;",  "&quot;",    "&apos;",   "&#65;",
            "&#x20AC;", "&#233;", "&#9;", "&#10;", "&#x1F600;", "\xC3\xA9", "\xE2\x82\xAC",
            ">",        "'",      "\"",   "  ",    "]",         "?",        "-",
            "=",        "/"};
        std::string out;
        for (int i = 0; i < tokens; ++i) {
            std::string p = pick(pieces);
            if (quote && p.size() == 1 && p[0] == quote) continue;
            if (!quote && p == ">" && !out.empty() && out.back() == ']') continue;  // no "]]>"
            out += p;
            if (!entities_.empty() && chance(6))
                out += "&" + entities_[rng_() % entities_.size()] + ";";
        }
        return out;
    }

    std::string misc() {
        std::string out;
        while (chance(3)) {
            switch (rng_() % 3) {
                case 0:
                    out += "<!-- note - " + std::to_string(rng_() % 100) + " -->";
                    break;
                case 1:
                    out += "<?tgt data " + std::to_string(rng_() % 100) + "?>";
                    break;
                default:
                    out += "\n  ";
                    break;
            }
        }
        return out;
    }

    std::string doctype() {
        std::string out = "<!DOCTYPE r [\n";
        static const char *const values[] = {"plain",     "with&#65;ref",      "amp &amp; sign",
                                             "tab\there", "euro \xE2\x82\xAC", "q'uote"};
        int n = 1 + static_cast<int>(rng_() % 4);
        for (int i = 0; i < n; ++i) {
            std::string ename = "ent" + std::to_string(i);
            std::string value = pick(values);
            if (!entities_.empty() && chance(2)) value += "&" + entities_.back() + ";";
            out += "<!ENTITY " + ename + " \"" + value + "\">\n";
            entities_.push_back(ename);
        }
        // defaults for a few element names; "tok" is declared non-CDATA (collapsed)
        out += "<!ATTLIST Val dflt CDATA \"d v\" tok NMTOKENS #IMPLIED>\n";
        out += "<!ATTLIST b fixed CDATA #FIXED \"f&#65;x\" tok NMTOKEN #IMPLIED>\n";
        out += "<!-- in subset --><?dtd pi?>\n]>";
        return out;
    }

    std::string attributes(const std::string &el) {
        std::string out;
        std::set<std::string> used;
        int n = static_cast<int>(rng_() % 4);
        for (int i = 0; i < n; ++i) {
            static const char *const anames[] = {"id", "k", "tok", "unit", "x:y", "z9"};
            std::string an = pick(anames);
            if (!used.insert(an).second) continue;
            char q = chance(2) ? '"' : '\'';
            std::string v;
            if (an == "tok")
                v = std::string(rng_() % 3, ' ') + "t1" + std::string(1 + rng_() % 3, ' ') + "t2" +
                    std::string(rng_() % 3, ' ');
            else
                v = chars(q, static_cast<int>(rng_() % 6));
            out += std::string(1 + rng_() % 2, chance(3) ? '\n' : ' ') + an +
                   (chance(3) ? " = " : "=") + q + v + q;
        }
        (void)el;
        return out;
    }

    std::string element(int depth) {
        std::string el = name();
        std::string out = "<" + el + attributes(el);
        if (chance(5)) return out + (chance(2) ? " />" : "/>");
        out += ">";
        int items = static_cast<int>(rng_() % (depth < 4 ? 7 : 3));
        for (int i = 0; i < items; ++i) {
            switch (rng_() % 6) {
                case 0:
                case 1:
                    out += chars(0, 1 + static_cast<int>(rng_() % 5));
                    break;
                case 2:
                    if (depth < 5) out += element(depth + 1);
                    break;
                case 3:
                    if (depth < 5) out += element(depth + 1);
                    break;
                case 4:
                    out += "<![CDATA[<&amp;>" + std::string(chance(2) ? "\r\n" : "]") + "]]>";
                    break;
                default:
                    out += misc();
                    break;
            }
        }
        return out + "</" + el + (chance(4) ? " >" : ">");
    }
};

std::string node_text(xmlNodePtr n) {
    std::string t;
    for (xmlNodePtr c = n->children; c; c = c->next)
        if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content)
            t += reinterpret_cast<const char *>(c->content);
    return t;
}

std::string qname(xmlNodePtr n) {
    std::string s;
    if (n->ns && n->ns->prefix)
        s = std::string(reinterpret_cast<const char *>(n->ns->prefix)) + ":";
    return s + reinterpret_cast<const char *>(n->name);
}

void compare(xmlNodePtr x, ezxml_t e, const std::string &where) {
    ASSERT_NE(e, nullptr) << where;
    std::string path = where + "/" + qname(x);
    EXPECT_EQ(std::string(e->name), qname(x)) << path;
    EXPECT_EQ(std::string(e->txt), node_text(x)) << path;

    // attributes: the explicit ones in order, then the DTD defaults through ezxml_attr
    std::vector<std::pair<std::string, std::string>> lib;
    for (xmlAttrPtr a = x->properties; a; a = a->next) {
        xmlChar *v = xmlNodeListGetString(x->doc, a->children, 1);
        std::string an = reinterpret_cast<const char *>(a->name);
        if (a->ns && a->ns->prefix)
            an = std::string(reinterpret_cast<const char *>(a->ns->prefix)) + ":" + an;
        lib.emplace_back(an, v ? reinterpret_cast<const char *>(v) : "");
        xmlFree(v);
    }
    size_t k = 0;
    for (char **a = e->attr; *a; a += 2, ++k) {
        ASSERT_LT(k, lib.size()) << path << " extra attribute " << a[0];
        EXPECT_EQ(std::string(a[0]), lib[k].first) << path;
        EXPECT_EQ(std::string(a[1]), lib[k].second) << path << " @" << a[0];
    }
    for (const auto &[an, av] : lib) {
        const char *v = ezxml_attr(e, an.c_str());
        ASSERT_NE(v, nullptr) << path << " @" << an;
        EXPECT_EQ(std::string(v), av) << path << " @" << an;
    }

    // children in document order, with their positions in the joined text
    std::vector<xmlNodePtr> kids;
    std::vector<size_t> offs;
    size_t text_len = 0;
    for (xmlNodePtr c = x->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) {
            kids.push_back(c);
            offs.push_back(text_len);
        } else if ((c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) && c->content) {
            text_len += std::strlen(reinterpret_cast<const char *>(c->content));
        }
    }
    ezxml_t c = e->child;
    for (size_t i = 0; i < kids.size(); ++i, c = c ? c->ordered : nullptr) {
        ASSERT_NE(c, nullptr) << path << " missing child " << i;
        EXPECT_EQ(c->off, offs[i]) << path << " child " << i;
        compare(kids[i], c, path);
    }
    EXPECT_EQ(c, nullptr) << path << " extra children";

    // per name: ezxml_child then next gives the same elements in the same order
    std::map<std::string, std::vector<size_t>> by_name;
    for (size_t i = 0; i < kids.size(); ++i) by_name[qname(kids[i])].push_back(i);
    std::vector<ezxml_t> ordered;
    for (ezxml_t o = e->child; o; o = o->ordered) ordered.push_back(o);
    for (const auto &[nm, idx] : by_name) {
        ezxml_t n = ezxml_child(e, nm.c_str());
        for (size_t i : idx) {
            ASSERT_EQ(n, ordered[i]) << path << " next chain of " << nm;
            n = n->next;
        }
        EXPECT_EQ(n, nullptr) << path << " next chain of " << nm;
    }
}

xmlDocPtr libxml2_read(const std::string &doc, bool *well_formed) {
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    xmlDocPtr d =
        xmlCtxtReadMemory(ctxt, doc.data(), static_cast<int>(doc.size()), nullptr, nullptr,
                          XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NONET |
                              XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    *well_formed = ctxt->wellFormed != 0;
    xmlFreeParserCtxt(ctxt);
    return d;
}

std::string to_utf16le(const std::string &utf8) {
    std::string out = "\xFF\xFE";
    auto put = [&](unsigned u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        auto b = static_cast<unsigned char>(utf8[i]);
        unsigned cp;
        int n;
        if (b < 0x80)
            cp = b, n = 1;
        else if (b < 0xE0)
            cp = b & 0x1F, n = 2;
        else if (b < 0xF0)
            cp = b & 0x0F, n = 3;
        else
            cp = b & 0x07, n = 4;
        for (int k = 1; k < n; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

TEST(EzxmlAgainstLibxml2, GeneratedDocumentsGiveTheSameTree) {
    xmlInitParser();
    doc_gen gen(20261208);
    int compared = 0;
    for (int i = 0; i < 400; ++i) {
        std::string doc = gen.document();
        bool utf16 = i % 10 == 9;
        std::string bytes = utf16 ? to_utf16le(doc) : doc;
        bool wf = false;
        xmlDocPtr ld = libxml2_read(bytes, &wf);
        ASSERT_TRUE(ld && wf) << "generator made a malformed document:\n" << doc;
        parsed ez(bytes, true);
        EXPECT_EQ(ez.error(), "") << doc;
        // Appended, not `"#" + std::to_string(i)`: GCC 12 at -O3 reports a false -Wrestrict
        // in the inlined insert of `const char* + string&&`.
        std::string where = "#";
        where += std::to_string(i);
        compare(xmlDocGetRootElement(ld), ez.root(), where);
        xmlFreeDoc(ld);
        ++compared;
        if (HasFailure()) {
            ADD_FAILURE() << "document " << i << ":\n" << doc;
            break;
        }
    }
    EXPECT_EQ(compared, 400);
}

}  // namespace
