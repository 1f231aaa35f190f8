#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are small, well-formed inputs (plus a few near misses) that lead
the fuzzer into the parsers' deeper branches at once. Run it again after
changing a seed; the files it writes are checked in."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def structure(kind, fields, strings=()):
    body = bytes([kind, 4 + len(fields), 0x00, 0x01]) + bytes(fields)
    for s in strings:
        body += s + b"\0"
    if not strings:
        body += b"\0"
    return body + b"\0"


def raw_smbios(structures, trailing=b""):
    table = b"".join(structures)
    return bytes([0, 3, 4, 0]) + struct.pack("<I", len(table)) + table + trailing


def units(text):
    """UTF-16LE, as the wide-text targets read their input."""
    return text.encode("utf-16-le", "surrogatepass")


def smbios_seeds():
    uuid = bytes(range(0x10, 0x20))
    bios = structure(0, [1, 2, 0, 0xF0, 0, 3, 0, 0], [b"American Megatrends Inc.", b"1.2", b"01/02/2023"])
    system = structure(1, [1, 2, 0, 3] + list(uuid) + [6], [b"Zarnel Labs", b"Model Z", b"SN-000123"])
    board = structure(2, [1, 2, 0, 3], [b"Board Maker", b"B1", b"BSN-9"])
    end = structure(127, [])
    write("smbios_table_fuzzer", "full_table", raw_smbios([bios, system, board, end]))
    write("smbios_table_fuzzer", "short_system", raw_smbios([structure(1, [1, 0, 0, 2], [b"Maker", b"Serial"]), end]))
    write("smbios_table_fuzzer", "placeholder_uuid",
          raw_smbios([structure(1, [0, 0, 0, 0] + [0xFF] * 16, []), end]))
    write("smbios_table_fuzzer", "latin1_strings",
          raw_smbios([structure(0, [1], [b"Fabricant \xe9\x80\x9f"]), end], trailing=b"\xAA\xBB"))
    write("smbios_table_fuzzer", "string_number_past_set",
          raw_smbios([structure(2, [0, 0, 0, 9], [b"only"]), end]))
    write("smbios_table_fuzzer", "no_end_of_table", raw_smbios([bios, board]))
    write("smbios_table_fuzzer", "other_types_only", raw_smbios([structure(4, [1, 2, 3], [b"cpu"]), end]))


def identity_value_seeds():
    for name, text in [
        ("plain", "PF1A2B3C"),
        ("inner_runs", "  To\tBe \u3000 Filled  By O.E.M.  "),
        ("placeholder", "DEFAULT STRING"),
        ("non_latin", "\u00c9cole \u4e2d\u6587 \U0001F600"),
        ("unpaired_surrogate", "A\ud800B"),
        ("control", "serial\x01"),
        ("wide_spaces", "\u2000x\u2028y\u205f"),
        ("long", "x" * 300),
    ]:
        write("identity_value_fuzzer", name, units(text))


def identity_text_seeds():
    # One component per line: a selector byte (name index in the low bits,
    # 0x80 = primary), then the value's UTF-16 units up to the next 0x0A 0x00.
    def component(selector, text):
        return bytes([selector]) + units(text) + b"\n\0"

    write("identity_text_fuzzer", "five_components",
          component(0x80, "GUID-1234") + component(0x81, "Maker") + component(0x82, "Model")
          + component(0x83, "SN1") + component(4, "C:1234abcd"))
    write("identity_text_fuzzer", "repeated_name", component(0x80, "a") + component(0x80, "b"))
    write("identity_text_fuzzer", "bad_name", component(0x80, "a") + component(0x8F, "b"))
    write("identity_text_fuzzer", "no_primary", component(1, "a") + component(2, "b"))
    write("identity_text_fuzzer", "near_limit", component(0x80, "x" * 1000) + component(0x81, "y" * 1000)
          + component(0x82, "z" * 1000) + component(0x83, "w" * 1000))


def evidence_name_seeds():
    write("evidence_name_fuzzer", "program", b"\x01\x00\x10\x04\x00\x00" + units("cheatengine-x86_64.exe"))
    write("evidence_name_fuzzer", "separators", b"\x03\x00\xff\xff\x1f\x00" + units("  Cheat  Engine 7.5!!"))
    write("evidence_name_fuzzer", "non_ascii", b"\x01\x00\x00\x00\x00\x00" + units("\u00c4bc\u4e2d.dll"))
    write("evidence_name_fuzzer", "long", b"\x02\x00\x00\x00\x00\x00" + units("a" * 95))


def path_text_seeds():
    write("path_text_fuzzer", "bare_name", units("ZarnelClient.dat"))
    write("path_text_fuzzer", "dot_dot", units(".."))
    write("path_text_fuzzer", "trailing_dots", units("..."))
    write("path_text_fuzzer", "unc_prefix", units("\\\\?\\UNC\\server\\share\\x"))
    write("path_text_fuzzer", "drive_prefix", units("\\\\?\\C:\\Games\\Zarnel\\Zarnel.exe"))
    write("path_text_fuzzer", "fold_pair", units("C:\\Games\\ZARNEL|c:\\games\\zarnel"))
    write("path_text_fuzzer", "module_name", units("C:\\Games/Zarnel\\ZarnelGuard.dll"))


if __name__ == "__main__":
    smbios_seeds()
    identity_value_seeds()
    identity_text_seeds()
    evidence_name_seeds()
    path_text_seeds()
