#!/usr/bin/env python3
"""Writes the seed corpus of the document fuzzers into fuzz/corpus/.

Each seed is one selector byte (below 0x40: the 4096-unit window; 0x40 to 0x7F: a window of 65 to
4034 units; otherwise a small window) followed by a document file: UTF-16LE with a byte order mark.
Documents from data/ are added with all three kinds of window; every document the tests write as a
literal is added too."""
import glob
import re
import os

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "corpus")
os.makedirs(out, exist_ok=True)

docs = {
    "empty": "",
    "simple": "[root a=1 b='two words'\r\n\t[child=x]\n [leaf]]",
    "escapes": "[a v='it\\'s' w='dir\\\\' x='x\\'y\\\\' y='[x] = <y>\r\n\tz']",
    "raw": "[a<3 abc> v<5 ]'=[]> w<0> x<2\r\n xy k=v]",
    "quoted_names": "['quoted name' 'k k'='v v' [c]]",
    "profile": "[profile='My profile' version=3\r\n  [commands\r\n    [command id={6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B} name='Gear up']\r\n"
               "    [command id={6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5C} name='Gear \\'down\\'']]\r\n"
               "  [controls [control number=0x1F kind=button] [control number=12 kind=axis timeout=250]]]",
    "output": "[outputlist\r\n  [led id=1 command=0x20 index=0 maxvalue=255]\r\n"
              "  [string id=2 clearcommand=0x30 setcommand=0x31 maxlength=16 marqueetime=250]\r\n"
              "  [shiftbutton usage=5]]",
    "errors_rb": "[a][b]",
    "errors_name": "[a b=]",
    "xml": "<?xml version='1.0'?><a/>",
    "deep": "[n" * 50 + "[x]]" * 50,
    "long_word": "[a " + "w" * 200 + "=v]",
    "many_attributes": "[a" + " b=c" * 40 + "]",
}

def write(name, selector, text):
    data = bytes([selector]) + b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass")
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)

for name, text in docs.items():
    write(name, 0x00, text)
    write(name + "_small", 0x90, text)

for path in sorted(glob.glob(os.path.join(here, "..", "data", "*.dat")) + glob.glob(os.path.join(here, "..", "data", "**", "*.pr0"), recursive=True)):
    with open(path, "rb") as f:
        body = f.read()
    base = os.path.basename(path)
    for selector, suffix in ((0x00, ""), (0x90, "_small"), (0x55, "_split")):
        with open(os.path.join(out, "data_" + base + suffix), "wb") as f:
            f.write(bytes([selector]) + body)

# The documents the tests read: every run of adjacent u"..." literals that starts with '['.
ESCAPES = {"\\\\": "\\", "\\\"": "\"", "\\'": "'", "\\n": "\n", "\\r": "\r", "\\t": "\t"}
literal = re.compile(r'u"((?:[^"\\]|\\.)*)"')
for source in sorted(glob.glob(os.path.join(here, "..", "tests", "*", "*.cpp"))):
    with open(source, encoding="utf-8") as f:
        text = f.read()
    found = 0
    at = 0
    while True:
        first = literal.search(text, at)
        if first is None:
            break
        parts = [first.group(1)]
        at = first.end()
        while True:
            follow = re.compile(r'\s*u"((?:[^"\\]|\\.)*)"').match(text, at)
            if follow is None:
                break
            parts.append(follow.group(1))
            at = follow.end()
        document = re.sub(r"\\.", lambda m: ESCAPES.get(m.group(0), m.group(0)), "".join(parts))
        if not document.startswith("[") or len(document) < 8:
            continue
        found += 1
        name = "test_%s_%d" % (os.path.splitext(os.path.basename(source))[0], found)
        write(name, found % 4, document)
