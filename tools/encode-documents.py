#!/usr/bin/env python3
"""Writes our sample documents: every data/source/**/NAME.txt (UTF-8) becomes data/**/NAME as
UTF-16LE with a byte order mark, the encoding the document reader requires."""
import pathlib

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
SOURCE = DATA / "source"


def main():
    for source in sorted(SOURCE.rglob("*.txt")):
        target = DATA / source.relative_to(SOURCE).with_suffix("")
        target.parent.mkdir(parents=True, exist_ok=True)
        text = source.read_text(encoding="utf-8")
        target.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
        print(target.relative_to(DATA))


if __name__ == "__main__":
    main()
