#!/usr/bin/env python3
"""Writes the seed corpora fuzz/corpus/<target>/ from the project's test documents.

Run from the source root after a test document changed: python3 fuzz/make_corpus.py
Seeds stay small: a few whole documents per target and short hand-made cases for the
branches the documents do not reach. Input layouts are those of the targets (fuzz/*.cpp).
"""
import hashlib
import os
import re
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "fuzz", "corpus")


def read(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read()


def raw_strings(path):
    """The R"(...)" documents of a C++ test source."""
    return [m.encode() for m in re.findall(r'R"\((.*?)\)"', read(path).decode(), re.S)]


def write(target, seeds):
    folder = os.path.join(OUT, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()[:16]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(seed)


values = read("tools/device/data/values.xml")
power = read("tools/device/data/values_power.xml")
setup = read("tools/device/data/setup.xml")
setup_docs = [read("tests/records/data/setup_empty.xml"),
              read("tests/records/data/setup_one_entry_numbered.xml")]
setup_docs += raw_strings("tests/setup/setup_docs.h")
small_values = (b'<?xml version="1.0"?>\n<Root><Agent><Model>55</Model></Agent>'
                b'<SenSet><Entry><ID>1</ID><Name>T</Name><Value>21.5</Value></Entry></SenSet>'
                b'<Meter><Name>L1</Name><Val id="7"><Name>U</Name><Units>V</Units><Exp>-1</Exp>'
                b'<Value>2301</Value><State>1</State></Val></Meter>'
                b'<Input id="101"><Name>Door</Name><State>1</State></Input></Root>')

# Element paths longer than the parsers' 10000-byte path buffers (they also raise the
# fuzzers' input length limit to about 26 KB, enough to cross those bounds).
# (libxml2 stops at 256 levels: long names, not depth, make the paths long.)
long_name = b"E" * 60
deep = (b"<Root><Agent><Model>55</Model></Agent>" + (b"<" + long_name + b">") * 200 +
        b"<Name>x</Name>" + (b"</" + long_name + b">") * 200 +
        b"<SenSet><Entry><Name>after</Name><Idx>1</Idx></Entry></SenSet></Root>")

# xml_parse, values: byte 0 picks the model (0 45, 1 55, 2 57, 3 58, 4 as written).
write("fuzz_xml_values", [b"\x04" + values, b"\x04" + values.replace(b"\n", b"\r\n"),
                          b"\x01" + power, b"\x00" + power, b"\x02" + power, b"\x03" + power,
                          b"\x01" + small_values, b"\x04" + small_values, b"\x04" + deep])
# xml_parse, setup: the document.
write("fuzz_xml_setup", [setup, deep] + setup_docs)
# The upload filter: the document (the target adds the 1024 zero bytes).
write("fuzz_setup_prepare", [setup, deep] + setup_docs +
      [b"<Root><SenSet><Entry><Idx>3</Idx><Name>a&amp;b</Name></Entry></SenSet>"
       b"<Network><IPAddr>1.2.3.4</IPAddr></Network></Root>"])
# The tree reader: documents with the constructs it handles.
write("fuzz_ezxml", [power, small_values, deep,
                     b"<r>t0<b/>t1<c i='1'/><b/><d/>t2<c i='2'/>t3</r>",
                     b"<a>&lt;&#65;&#x20AC;&gt;&quot;&apos;&amp;</a>",
                     b"<a>a<![CDATA[<&amp;>\r\n]]>b</a>",
                     b"<?xml version=\"1.0\" standalone='yes'?><!-- c --><?tgt one\r\n?><a>x"
                     b"<?tgt two?>y</a><?other z?>",
                     b"<!DOCTYPE r [\n <!ENTITY co 'Kyvern &amp; Co'>\n"
                     b" <!ENTITY full \"&co; (&#x41;)\">\n <!ENTITY % pe 'ignored'> %pe;\n"
                     b" <!ATTLIST r unit CDATA 'mV' kind NMTOKEN #FIXED ' a '>\n"
                     b" <!ATTLIST v state (on|off) 'off'>\n]>\n"
                     b"<r pad='  x   y  '>&full;|&co;<v/><v state='on'/></r>",
                     b"<!DOCTYPE a [<!ENTITY x 'a&x;b'>]><a>&x;</a>",
                     "<m n='\u00e9'>\u20ac</m>\n".encode("utf-16")])
# The response reader: byte 0 picks the buffer capacity (0 256000, 4 1024, 3 40), byte 1 the
# pieces it arrives in (0 a stream, 1..127 8 x N bytes, 128..255 random sizes).
body = small_values
responses = [
    b"\x00HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n" + body,
    b"\x00HTTP/1.0 200 OK\r\n\r\n" + values[:2000].replace(b"\n", b"\r\n"),
    b"\x00HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\"\r\n\r\n",
    b"\x00HTTP/1.0 404 Not Found\r\n\r\nmissing",
    b"\x00HTTP/1.0 302 Found\r\nLocation: /\r\n\r\n" + body,
    b"\x00HTTP/1.0 418 I'm a teapot\r\n\r\n" + body,
    b"\x00HTTP/1.0 505 Version\r\n\r\n",
    b"\x00HTTP/1.0 200 OK\r\nX-Pad: " + b"p" * 1000 + b"\r\n\r\n" + body,
    b"\x04HTTP/1.0 200 OK\r\n\r\n" + b"b" * 1100,
    b"\x03HTTP/1.0 200 OK\r\n\r\n" + b"b" * 39,
    b"\x00" + body,
    b"\x00\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n",
    b"\x00HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body,
    b"\x00HTTP/1.0 200 OK\r\ncontent-length:\t%d\r\n\r\n" % (len(body) + 10) + body,
]
seeds = [r[:1] + b"\x00" + r[1:] for r in responses]
seeds += [r[:1] + mode + r[1:] for r in responses[:2] + responses[3:4] for mode in (b"\x01", b"\x02", b"\xc8")]
write("fuzz_http_read", seeds)
# Base64: byte 0 picks decoding flags and line length, the rest is the data.
write("fuzz_b64", [b"\x00abc", b"\x05hello, world", b"\x0e" + bytes(range(256)),
                   b"\x03YWJj\r\nZA==", b"\x01YW Jj", b"\x02admin:secret"])
# The parse stage: arguments separated by NUL bytes, the program path first.
args = [["/usr/bin/tarvik", "192.168.0.41"],
        ["tarvik", "-v", "v.xml", "-g", "192.168.0.41", "81"],
        ["tarvik", "-o", "1=ON", "-u", "admin", "-p", "secret", "10.0.0.9"],
        ["tarvik", "-f", "setup.xml", "-s", "s.xml", "-t", "r.txt", "1..2.3"],
        ["tarvik", "--values", "x", "--output", " 7abc=off", "--setup", "y", "192.168.000.041"],
        ["tarvik", "-x", "192.168.0.41"], ["tarvik", "-v"], ["tarvik", "--error-level"],
        ["c:\\bin\\tarvik.exe", "--version"], ["tarvik", "/?"],
        ["tarvik", "--filename", "f" * 300, "1.2.3.4"]]
write("fuzz_cmdline", [b"\x00".join(a.encode() for a in argv) for argv in args])

# Dictionaries (libFuzzer -dict): XML syntax and the element names of the record tables.
DICT = os.path.join(ROOT, "fuzz", "dict")
os.makedirs(DICT, exist_ok=True)
names = set()
for table in ("qvxml_values_fields.def", "qvxml_setup_fields.def"):
    for path in re.findall(r'"(Root_[A-Za-z0-9_]+)"', read("include/" + table).decode()):
        names.update(path.split("_"))
names.update(["Meter", "Val", "Input", "Name", "Units", "Exp", "Value", "State", "Model",
              "alarm_end", "alarm_start", "hyst", "cfg", "val:Root", "set:Root"])
syntax = ["<", ">", "</", "/>", "<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<!--", "-->",
          "<![CDATA[", "]]>", "<!DOCTYPE", "<!ENTITY", "<!ATTLIST", "#FIXED", "#IMPLIED",
          "CDATA", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#", "&#x", "id=\"",
          " xmlns:val=\"urn:x\"", "<?", "?>", "\\x0d\\x0a"]
with open(os.path.join(DICT, "xml.dict"), "w") as f:
    f.write("# XML syntax and the element names the records and the post-parser use.\n")
    for token in syntax:
        f.write('"%s"\n' % token.replace('"', '\\"').replace("\\\\x", "\\x"))
    for name in sorted(names):
        f.write('"%s"\n"<%s>"\n"</%s>"\n' % (name, name, name))
with open(os.path.join(DICT, "http.dict"), "w") as f:
    f.write("# HTTP/1.0 status lines and the header end.\n")
    for token in ["HTTP/1.0 ", "HTTP/1.1 ", " 200 OK", "\\x0d\\x0a", "\\x0d\\x0a\\x0d\\x0a",
                  "400", "401", "417", "418", "500", "505", "506", "302", "Content-Length: ",
                  "<Root>", "</Root>"]:
        f.write('"%s"\n' % token)
with open(os.path.join(DICT, "cmdline.dict"), "w") as f:
    f.write("# Options of the tarvik parse stage (arguments are separated by NUL bytes).\n")
    for token in ["-f", "--filename", "-v", "--values", "-o", "--output", "-s", "--setup", "-t",
                  "-g", "--get", "-u", "--user", "-p", "--password", "--error-level",
                  "--version", "/h", "/?", "-h", "--help", "=ON", "=off", "=1", "192.168.0.41",
                  "..", "\\x00"]:
        f.write('"%s"\n' % token)
