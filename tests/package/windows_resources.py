#!/usr/bin/env python3
"""Reads the resources of built Windows programs back and checks them.

Each program must carry a version resource whose fixed and string versions are the project
version, with ProductName "Skyhelm", its own file name as OriginalFilename, and a FileDescription,
CompanyName and LegalCopyright; and an icon group whose images are exactly those of the icon file.

  windows_resources.py VERSION ICON PROGRAM.exe...
"""

import os
import struct
import sys

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16


class Image:
    """The resource tree of a PE file: {type: {name: {language: bytes}}}."""

    def __init__(self, path):
        self.data = open(path, "rb").read()
        data = self.data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.rsrc_rva, rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
        if self.rsrc_rva == 0 or rsrc_size == 0:
            raise ValueError("no resource directory")
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))
        self.resources = self._directory(self.rsrc_rva, 0)

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} is in no section")

    def _directory(self, rva, depth):
        at = self.offset(rva)
        named, numbered = struct.unpack_from("<12xHH", self.data, at)
        tree = {}
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
            if name & 0x80000000:
                name_at = self.offset(self.rsrc_rva + (name & 0x7FFFFFFF))
                length = struct.unpack_from("<H", self.data, name_at)[0]
                name = self.data[name_at + 2:name_at + 2 + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                tree[name] = self._directory(self.rsrc_rva + (target & 0x7FFFFFFF), depth + 1)
            else:
                entry = self.offset(self.rsrc_rva + target)
                data_rva, size = struct.unpack_from("<II", self.data, entry)
                start = self.offset(data_rva)
                tree[name] = self.data[start:start + size]
        return tree

    def first(self, kind):
        """The first resource of a kind, in any language, and its name; None when there is none."""
        for name, languages in self.resources.get(kind, {}).items():
            for blob in languages.values():
                return name, blob
        return None


def version_strings(blob):
    """The fixed file version and the StringFileInfo strings of a VS_VERSIONINFO block."""

    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", blob, at)
        key_end = at + 6
        while blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = blob[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        children_at = (value_at + value_size + 3) & ~3
        return key, length, value_at, value_size, children_at

    def children(at, end):
        while at < end:
            key, length, value_at, value_size, children_at = node(at)
            if length == 0:
                return
            yield key, at, length, value_at, value_size, children_at
            at = (at + length + 3) & ~3

    key, length, value_at, value_size, children_at = node(0)
    if key != "VS_VERSION_INFO" or value_size < 52:
        raise ValueError(f"not a version resource: {key!r}")
    signature, _, file_ms, file_ls = struct.unpack_from("<IIII", blob, value_at)
    if signature != 0xFEEF04BD:
        raise ValueError("no fixed file information")
    fixed = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
    strings = {}
    for key, at, length, _, _, kids in children(children_at, length):
        if key != "StringFileInfo":
            continue
        for _, table_at, table_length, _, _, entries in children(kids, at + length):
            for name, _, _, text_at, text_size, _ in children(entries, table_at + table_length):
                strings[name] = blob[text_at:text_at + text_size].decode("utf-16-le").rstrip("\0")
    return fixed, strings


def icon_images(path):
    """The images of an .ico file, in its order."""
    data = open(path, "rb").read()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise ValueError(f"{path} is not an icon file")
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        images.append(data[offset:offset + size])
    return images


def check(path, version, icon):
    """The failures found in one program, and its FileDescription."""
    failures = []
    image = Image(path)
    found = image.first(RT_VERSION)
    if found is None:
        return ["no version resource"], None
    fixed, strings = version_strings(found[1])
    wanted_fixed = tuple(int(part) for part in version.split(".")) + (0,)
    if fixed != wanted_fixed[:4]:
        failures.append(f"fixed file version {fixed}, not {wanted_fixed[:4]}")
    expected = {"ProductName": "Skyhelm", "FileVersion": version, "ProductVersion": version,
                "OriginalFilename": os.path.basename(path)}
    for name, value in expected.items():
        if strings.get(name) != value:
            failures.append(f"{name} is {strings.get(name)!r}, not {value!r}")
    for name in ("FileDescription", "CompanyName", "LegalCopyright"):
        if not strings.get(name, "").strip():
            failures.append(f"no {name}")

    group = image.first(RT_GROUP_ICON)
    if group is None:
        failures.append("no icon group")
        return failures, None
    blob = group[1]
    count = struct.unpack_from("<H", blob, 4)[0]
    icons = image.resources.get(RT_ICON, {})
    images = []
    for i in range(count):
        icon_id = struct.unpack_from("<H", blob, 6 + 14 * i + 12)[0]
        languages = icons.get(icon_id)
        if not languages:
            failures.append(f"the icon group names icon {icon_id}, which is not there")
            continue
        images.append(next(iter(languages.values())))
    if not failures and images != icon_images(icon):
        failures.append(f"the icon's {len(images)} images are not those of {icon}")
    return failures, strings.get("FileDescription")


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    version, icon, programs = sys.argv[1], sys.argv[2], sys.argv[3:]
    failed = False
    for program in programs:
        try:
            failures, description = check(program, version, icon)
        except (OSError, ValueError, struct.error) as error:
            failures, description = [f"unreadable: {error}"], None
        failed = failed or bool(failures)
        for failure in failures:
            print(f"FAIL: {program}: {failure}", file=sys.stderr)
        if not failures:
            print(f"{program}: {description}, version {version}, the icon's images")
    print("FAIL" if failed else "PASS")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
