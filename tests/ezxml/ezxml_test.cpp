// Tree reader: structure, decoding, DTD, errors and hostile input.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "ezxml_test_util.h"

namespace {

std::string err(const std::string &doc) {
    return parsed(doc).error();
}

TEST(EzxmlTree, SameNameSiblingsChainThroughNext) {
    parsed d("<a><b>x</b><b>y</b></a>");
    EXPECT_EQ(d.error(), "");
    EXPECT_STREQ(d->name, "a");
    ezxml_t b = ezxml_child(d.root(), "b");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->txt, "x");
    ASSERT_NE(b->next, nullptr);
    EXPECT_STREQ(b->next->txt, "y");
    EXPECT_EQ(b->next->next, nullptr);
    EXPECT_EQ(b->parent, d.root());
    EXPECT_EQ(d->parent, nullptr);
}

TEST(EzxmlTree, OrderSiblingChainsAndOffsets) {
    parsed d("<r>t0<b/>t1<c i='1'/><b/><d/>t2<c i='2'/>t3</r>");
    ASSERT_EQ(d.error(), "");
    EXPECT_EQ(names_in_order(d->child), (std::vector<std::string>{"b", "c", "b", "d", "c"}));
    // one head per name, in order of first appearance
    std::vector<std::string> heads;
    for (ezxml_t n = d->child; n; n = n->sibling) heads.emplace_back(n->name);
    EXPECT_EQ(heads, (std::vector<std::string>{"b", "c", "d"}));
    ezxml_t c = ezxml_child(d.root(), "c");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(ezxml_attr(c, "i"), "1");
    ASSERT_NE(c->next, nullptr);
    EXPECT_STREQ(ezxml_attr(c->next, "i"), "2");
    EXPECT_EQ(ezxml_child(d.root(), "zz"), nullptr);
    EXPECT_STREQ(d->txt, "t0t1t2t3");
    std::vector<size_t> offs;
    for (ezxml_t n = d->child; n; n = n->ordered) offs.push_back(n->off);
    EXPECT_EQ(offs, (std::vector<size_t>{2, 4, 4, 4, 6}));
}

TEST(EzxmlTree, WorksInPlace) {
    parsed d("<a k='v'>text</a>");
    ASSERT_EQ(d.error(), "");
    EXPECT_TRUE(d.points_into_buffer(d->name));
    EXPECT_TRUE(d.points_into_buffer(d->txt));
    EXPECT_TRUE(d.points_into_buffer(ezxml_attr(d.root(), "k")));
    EXPECT_EQ(d->flags, 0);
    std::string now(d.buffer().begin(), d.buffer().end());
    EXPECT_NE(now, std::string("<a k='v'>text</a>") + '\0');  // cut with NUL bytes
}

TEST(EzxmlTree, NullArgumentsAreHarmless) {
    EXPECT_EQ(ezxml_parse_str(nullptr, 5), nullptr);
    EXPECT_EQ(ezxml_child(nullptr, "a"), nullptr);
    EXPECT_EQ(ezxml_attr(nullptr, "a"), nullptr);
    EXPECT_STREQ(ezxml_error(nullptr), "");
    ezxml_free(nullptr);
    parsed d("<a><b/></a>");
    EXPECT_EQ(ezxml_child(d.root(), nullptr), nullptr);
    EXPECT_EQ(ezxml_attr(d.root(), nullptr), nullptr);
    ezxml_free(d->child);  // an inner node: nothing happens
    EXPECT_STREQ(d->child->name, "b");
}

TEST(EzxmlDecode, CharacterAndEntityReferences) {
    parsed d("<a>&lt;&#65;&#x20AC;&gt;&quot;&apos;&amp;</a>");
    EXPECT_STREQ(d->txt, "<A\xE2\x82\xAC>\"'&");
    // A replaced ampersand is not read again.
    EXPECT_STREQ(parsed("<a>&amp;lt;</a>")->txt, "&lt;");
    // References that are not replaced stay as written.
    EXPECT_STREQ(parsed("<a>&#0;|&#65|&#x;|&#xD800;|&#1114112;|&#X41;|&nope;|& x</a>")->txt,
                 "&#0;|&#65|&#x;|&#xD800;|&#1114112;|&#X41;|&nope;|& x");
    EXPECT_STREQ(parsed("<a>&#x10FFFF;&#128;&#2047;</a>")->txt, "\xF4\x8F\xBF\xBF\xC2\x80\xDF\xBF");
}

TEST(EzxmlDecode, LineEndsAndAttributeBlanks) {
    EXPECT_STREQ(parsed("<a>1\r\n2\r3\n4</a>")->txt, "1\n2\n3\n4");
    parsed d("<a v='x\r\ny\tz\nw\rq&#9;' />");
    EXPECT_STREQ(ezxml_attr(d.root(), "v"), "x y z w q\t");
    EXPECT_STREQ(parsed("<a>a<![CDATA[<&amp;>\r\n]]>b</a>")->txt, "a<&amp;>\nb");
}

TEST(EzxmlDecode, CommentsAndInstructions) {
    parsed d(
        "<?xml version=\"1.0\" standalone='yes'?><!-- c --><?tgt one\r\n?><a><!-- <b/> -->x"
        "<?tgt two?>y</a><!-- after --><?other z?>");
    ASSERT_EQ(d.error(), "");
    EXPECT_STREQ(d->txt, "xy");
    EXPECT_EQ(d->child, nullptr);
    const char **tgt = ezxml_pi(d.root(), "tgt");
    ASSERT_NE(tgt[0], nullptr);
    EXPECT_STREQ(tgt[0], "one\n");
    ASSERT_NE(tgt[1], nullptr);
    EXPECT_STREQ(tgt[1], "two");
    EXPECT_EQ(tgt[2], nullptr);
    EXPECT_STREQ(ezxml_pi(d.root(), "other")[0], "z");
    EXPECT_EQ(ezxml_pi(d.root(), "xml")[0], nullptr);
}

TEST(EzxmlDtd, EntitiesAndAttributeDefaults) {
    parsed d(
        "<!DOCTYPE r SYSTEM \"x[y>\" [\n"
        " <!ENTITY co 'Kyvern &amp; Co'>\n"
        " <!ENTITY full \"&co; (&#x41;)\">\n"
        " <!ENTITY % pe 'ignored'> %pe;\n"
        " <!ELEMENT r ANY>\n"
        " <!ATTLIST r unit CDATA 'mV' kind NMTOKEN #FIXED ' a ' tags NMTOKENS #IMPLIED>\n"
        " <!ATTLIST v state (on|off) 'off'>\n"
        " <?dtdpi in subset?>\n"
        "]>\n"
        "<r tags='  x   y  ' pad='  x   y  '>&full;|&co;<v/><v state='on'/></r>");
    ASSERT_EQ(d.error(), "");
    EXPECT_STREQ(d->txt, "Kyvern & Co (A)|Kyvern & Co");
    EXPECT_TRUE(d->flags & EZXML_TXTM);  // longer than the references it replaced
    EXPECT_STREQ(ezxml_attr(d.root(), "unit"), "mV");
    EXPECT_STREQ(ezxml_attr(d.root(), "kind"), "a");
    EXPECT_STREQ(ezxml_attr(d.root(), "tags"), "x y");       // declared NMTOKENS: collapsed
    EXPECT_STREQ(ezxml_attr(d.root(), "pad"), "  x   y  ");  // undeclared: as given
    EXPECT_EQ(ezxml_attr(d.root(), "state"), nullptr);       // declared for v only
    ezxml_t v = ezxml_child(d.root(), "v");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(ezxml_attr(v, "state"), "off");
    EXPECT_STREQ(ezxml_attr(v->next, "state"), "on");
    EXPECT_EQ(ezxml_attr(v, "unit"), nullptr);
    EXPECT_STREQ(ezxml_pi(d.root(), "dtdpi")[0], "in subset");
}

TEST(EzxmlDtd, FirstDeclarationBindsAndPredefinedStay) {
    parsed d("<!DOCTYPE a [<!ENTITY e 'one'><!ENTITY e 'two'><!ENTITY lt 'LT'>]><a>&e;&lt;</a>");
    ASSERT_EQ(d.error(), "");
    EXPECT_STREQ(d->txt, "one<");
}

TEST(EzxmlDtd, CircularDeclarationsAreRefused) {
    EXPECT_EQ(err("<!DOCTYPE a [<!ENTITY x 'a&x;b'>]><a>&x;</a>"),
              "[error near line 1]: circular entity declaration &x");
    EXPECT_EQ(err("<!DOCTYPE a [\n<!ENTITY x '&y;'>\n<!ENTITY z '&x;'>\n<!ENTITY y '&z;'>]><a/>"),
              "[error near line 4]: circular entity declaration &y");
}

TEST(EzxmlDtd, ExpansionIsBounded) {
    // Ten levels of ten references each would expand to 10^10 bytes.
    std::string doc = "<!DOCTYPE a [<!ENTITY l0 'xxxxxxxxxx'>";
    for (int i = 1; i <= 10; ++i) {
        doc += "<!ENTITY l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k) doc += "&l" + std::to_string(i - 1) + ";";
        doc += "'>";
    }
    doc += "]><a>&l10;<b x='&l10;'/></a>";
    auto t0 = std::chrono::steady_clock::now();
    parsed d(doc);
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(d.error(), "");
    size_t text = std::strlen(d->txt) + std::strlen(ezxml_attr(d->child, "x"));
    EXPECT_LE(text, size_t{EZXML_MAX_TEXT} + doc.size() * 2);
    EXPECT_GT(text, 1000000u);  // expansion did happen up to the budget
    EXPECT_LT(secs, 30.0);
    // Once the budget is spent, references stay as written.
    EXPECT_NE(std::string(ezxml_attr(d->child, "x")).find("&l"), std::string::npos);

    // Deep chains stop at the nesting bound and leave the reference as written.
    std::string deep = "<!DOCTYPE a [<!ENTITY e0 'end'>";
    for (int i = 1; i <= 40; ++i)
        deep += "<!ENTITY e" + std::to_string(i) + " '&e" + std::to_string(i - 1) + ";'>";
    deep += "]><a>&e40;|&e5;</a>";
    parsed dd(deep);
    EXPECT_EQ(dd.error(), "");
    EXPECT_EQ(std::string(dd->txt), "&e8;|end");
}

struct error_case {
    const char *doc;
    const char *error;
};

TEST(EzxmlErrors, ExactTexts) {
    const error_case cases[] = {
        {"<a></b>", "[error near line 1]: unexpected closing tag </b>"},
        {"<a/>\n<b/>", "[error near line 2]: markup outside of root element"},
        {"<a x='1>", "[error near line 1]: missing '"},
        {"<a x=\"1>", "[error near line 1]: missing \""},
        {"<a", "[error near line 1]: missing >"},
        {"<a x></a>", "[error near line 1]: missing >"},
        {"<a><!-- x</a>", "[error near line 1]: unclosed <!--"},
        {"<a><![CDATA[x</a>", "[error near line 1]: unclosed <![CDATA["},
        {"<!DOCTYPE a [<!ENTITY x 'y'>", "[error near line 1]: unclosed <!DOCTYPE"},
        {"<!DOCTYPE a [<!ATTLIST a b CDATA", "[error near line 1]: unclosed <!ATTLIST"},
        {"<!DOCTYPE a [<!ATTLIST a b CDATA #BOGUS>]><a/>",
         "[error near line 1]: malformed <!ATTLIST"},
        {"<!DOCTYPE a [<!ATTLIST a b CDATA junk>]><a/>",
         "[error near line 1]: malformed <!ATTLIST"},
        {"<?xml version='1.0'", "[error near line 1]: unclosed <?"},
        {"<a>\n\n< b/></a>", "[error near line 3]: unexpected <"},
        {"<a>x<</a>", "[error near line 1]: unexpected <"},
        {"just text", "[error near line 1]: root tag missing"},
        {"<!-- only -->\n", "[error near line 2]: root tag missing"},
        {"</a>", "[error near line 1]: unexpected closing tag </a>"},
    };
    for (const auto &c : cases) EXPECT_EQ(err(c.doc), c.error) << c.doc;
    EXPECT_EQ(parsed("", false).error(), "[error near line 1]: root tag missing");
}

TEST(EzxmlErrors, UnclosedRootKeepsPartialTree) {
    parsed d("<a>\n <b k='v'>x</b>\n <c>y");
    EXPECT_EQ(d.error(), "[error near line 3]: unclosed tag <c>");
    EXPECT_STREQ(d->name, "a");
    ezxml_t b = ezxml_child(d.root(), "b");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->txt, "x");
    EXPECT_STREQ(ezxml_attr(b, "k"), "v");
    ASSERT_NE(ezxml_child(d.root(), "c"), nullptr);
    EXPECT_STREQ(ezxml_child(d.root(), "c")->txt, "y");

    parsed r("<root>\n<x/>\n\n");
    EXPECT_EQ(r.error(), "[error near line 4]: unclosed tag <root>");
}

TEST(EzxmlErrors, TextIsCutToItsBuffer) {
    std::string name(300, 'n');
    std::string e = err("<a></" + name + ">");
    EXPECT_EQ(e.size(), size_t{EZXML_ERRL - 1});
    EXPECT_EQ(e.rfind("[error near line 1]: unexpected closing tag </nnn", 0), 0u);
}

TEST(EzxmlBuffer, LastByteBecomesNul) {
    std::string doc = "<a>x</a>";
    parsed exact(doc, false);  // the final '>' is overwritten but still closes the tag
    EXPECT_EQ(exact.error(), "");
    EXPECT_STREQ(exact->txt, "x");
    EXPECT_EQ(exact.buffer().back(), '\0');

    parsed dropped("<a>xy", false);
    EXPECT_EQ(dropped.error(), "[error near line 1]: unclosed tag <a>");
    EXPECT_STREQ(dropped->txt, "x");

    parsed nl("<a>x</a>\n", false);
    EXPECT_EQ(nl.error(), "");

    parsed one(">", false);
    EXPECT_EQ(one.error(), "[error near line 1]: root tag missing");

    // Reading stops at an embedded NUL.
    parsed nul(std::string("<a>x</a>\0<b/>", 13));
    EXPECT_EQ(nul.error(), "");
    EXPECT_EQ(nul->child, nullptr);
}

std::string utf16(const std::u16string &text, bool big_endian) {
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : text) {
        char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
        out += big_endian ? hi : lo;
        out += big_endian ? lo : hi;
    }
    return out;
}

TEST(EzxmlBuffer, Utf16IsReadAsUtf8) {
    std::u16string doc = u"<m n='\u00e9'>\u20ac\U0001F600&#65;</m>\n";
    for (bool be : {false, true}) {
        std::string bytes = utf16(doc, be);
        parsed d(bytes, false);
        EXPECT_EQ(d.error(), "") << be;
        EXPECT_STREQ(d->name, "m");
        EXPECT_STREQ(d->txt,
                     "\xE2\x82\xAC\xF0\x9F\x98\x80"
                     "A");
        EXPECT_STREQ(ezxml_attr(d.root(), "n"), "\xC3\xA9");
        // the caller's buffer is not the one rewritten
        EXPECT_EQ(std::string(d.buffer().begin(), d.buffer().end()), bytes);
    }
    // a lone surrogate becomes U+FFFD
    std::u16string bad = u"<a>x</a>";
    bad.insert(bad.begin() + 3, char16_t(0xD800));
    parsed d(utf16(bad, false) + '\n', false);
    EXPECT_STREQ(d->txt, "\xEF\xBF\xBDx");
}

TEST(EzxmlRobust, DeepNestingNeedsNoStack) {
    const int depth = 200000;
    std::string doc;
    for (int i = 0; i < depth; ++i) doc += "<e>";
    for (int i = 0; i < depth; ++i) doc += "</e>";
    parsed d(doc);
    ASSERT_EQ(d.error(), "");
    int n = 1;
    for (ezxml_t e = d->child; e; e = e->child) ++n;
    EXPECT_EQ(n, depth);
    parsed open(doc.substr(0, doc.size() / 2));
    EXPECT_EQ(open.error(), "[error near line 1]: unclosed tag <e>");
}

TEST(EzxmlRobust, DocumentsReadOnSeveralThreadsAtOnce) {
    // The reader keeps no state between documents; the thread sanitizer checks the claim.
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 200; ++i) {
                std::string v = std::to_string(t * 1000 + i);
                parsed d("<!DOCTYPE r [<!ENTITY e '" + v + "'><!ATTLIST r k CDATA 'd" + v +
                         "'>]><r>&e;&amp;<c/></r>");
                if (d.error().empty() && std::string(d->txt) == v + "&" &&
                    std::string(ezxml_attr(d.root(), "k")) == "d" + v)
                    ++good[t];
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(good, (std::vector<int>(4, 200)));
}

// Walks every node and string of a tree: with the sanitizers any dangling or unterminated
// string shows here.
size_t walk(ezxml_t root) {
    size_t bytes = 0;
    std::vector<ezxml_t> todo{root};
    while (!todo.empty()) {
        ezxml_t n = todo.back();
        todo.pop_back();
        bytes += std::strlen(n->name) + std::strlen(n->txt);
        for (char **a = n->attr; *a; a += 2) {
            bytes += std::strlen(a[0]) + std::strlen(a[1]);
            EXPECT_EQ(ezxml_attr(n, a[0]) != nullptr, true);
        }
        if (n->next) {
            EXPECT_STREQ(n->next->name, n->name);
        }
        for (ezxml_t c = n->child; c; c = c->ordered) {
            EXPECT_EQ(c->parent, n);
            EXPECT_LE(c->off, std::strlen(n->txt));
            todo.push_back(c);
        }
    }
    return bytes;
}

TEST(EzxmlRobust, MutatedDocumentsNeverBreakTheReader) {
    const std::string seeds[] = {
        "<?xml version='1.0' encoding='UTF-8'?>\r\n<!DOCTYPE r [<!ENTITY e 'E&amp;&#65;'>"
        "<!ATTLIST m k NMTOKEN ' a  b ' z CDATA #IMPLIED><!-- c --><?p q?>]>"
        "<r a=\"1\" b='&e;&#x20AC;'>t&e;<m/><![CDATA[c]]><m k='x'>u\r\n</m><!--z--><?pi x?>"
        "<Meter><Name>L1</Name><Val id='3'><Exp>-1</Exp></Val></Meter></r>",
        "<a><b><c>&lt;&gt;&amp;&quot;&apos;&#1234;&#x1F600;</c></b></a>",
        "<!DOCTYPE a [<!ENTITY x '&y;&y;'><!ENTITY y 'yy'><!ATTLIST a t (p|q) #REQUIRED>]>"
        "<a t=' p '>&x;</a>",
    };
    std::mt19937 rng(12345);
    const char alphabet[] = "<>/!?&;#x'\"=[]-CDATA \r\n\t\x80\xff\0";
    size_t seen = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        std::string doc = seeds[iter % 3];
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < edits && !doc.empty(); ++k) {
            size_t at = rng() % doc.size();
            switch (rng() % 4) {
                case 0:
                    doc[at] = alphabet[rng() % (sizeof alphabet)];
                    break;
                case 1:
                    doc.erase(at, 1 + rng() % 8);
                    break;
                case 2:
                    doc.insert(at, 1, alphabet[rng() % (sizeof alphabet)]);
                    break;
                default:
                    doc.resize(at);
                    break;
            }
        }
        bool nul = rng() % 2;
        parsed d(doc, nul);
        ASSERT_NE(d.root(), nullptr);
        std::string e = d.error();
        ASSERT_LT(e.size(), size_t{EZXML_ERRL});
        if (!e.empty()) {
            ASSERT_EQ(e.rfind("[error near line ", 0), 0u) << e;
        }
        seen += walk(d.root());
    }
    EXPECT_GT(seen, 0u);
}

}  // namespace
