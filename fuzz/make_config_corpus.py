#!/usr/bin/env python3
"""Writes the seed corpus of mutated configuration documents.

The corpus is checked in under tests/common/config/corpus/ and read by the
corpus test; the fuzz target starts from it. Deterministic: the same
samples give the same files.
"""
import json
import os
import random
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "common", "config", "data")
OUT = os.path.join(ROOT, "tests", "common", "config", "corpus")

ODD_VALUES = [True, False, None, "text", "", [], {}, [1], {"a": 1}, 0, -1, 1.5, -2.5,
              1e300, -1e300, 4294967296, 18446744073709551615, -9223372036854775808]


def load(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


def walk(value, path=()):
    """Yields the path of every value inside a document."""
    yield path
    if isinstance(value, dict):
        for k, v in value.items():
            yield from walk(v, path + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from walk(v, path + (i,))


def replaced(doc, path, new):
    doc = json.loads(json.dumps(doc))
    if not path:
        return new
    parent = doc
    for p in path[:-1]:
        parent = parent[p]
    parent[path[-1]] = new
    return doc


def removed(doc, path):
    doc = json.loads(json.dumps(doc))
    parent = doc
    for p in path[:-1]:
        parent = parent[p]
    del parent[path[-1]]
    return doc


def dump(doc):
    return json.dumps(doc, ensure_ascii=False).encode("utf-8")


def main():
    rng = random.Random(20261208)
    files = {}
    samples = {n: load(n) for n in ("host_config.json", "global_config.json",
                                     "guest_config.json", "local_user_config.json")}
    for name, text in samples.items():
        stem = name.split(".")[0]
        doc = json.loads(text)
        paths = [p for p in walk(doc) if p]
        # Wrong kinds at random places, one per file.
        for i in range(6):
            path = rng.choice(paths)
            files[f"{stem}_kind_{i}.json"] = dump(replaced(doc, path, rng.choice(ODD_VALUES)))
        # Members removed: required ones fail their section or list.
        for i in range(3):
            path = rng.choice(paths)
            files[f"{stem}_removed_{i}.json"] = dump(removed(doc, path))
        # Cut in the middle.
        for i, frac in enumerate((0.1, 0.5, 0.9)):
            files[f"{stem}_cut_{i}.json"] = text[: int(len(text) * frac)]
        # Flipped bytes: mostly invalid JSON, sometimes invalid UTF-8.
        for i in range(3):
            b = bytearray(text)
            for _ in range(4):
                b[rng.randrange(len(b))] = rng.randrange(256)
            files[f"{stem}_flipped_{i}.json"] = bytes(b)
        # The document as a member of itself.
        files[f"{stem}_nested_self.json"] = dump({k: doc for k in list(doc)[:3]})

    files["empty.json"] = b""
    files["blank.json"] = b" \n\t "
    files["null.json"] = b"null"
    files["array.json"] = b"[{\"dpi\": 320}]"
    files["string.json"] = b"\"{}\""
    files["trailing_junk.json"] = b"{\"dpi\": 320} x"
    files["two_documents.json"] = b"{}{}"
    files["nul_then_junk.json"] = b"{}\x00{\"dpi\":1}"
    files["nul_terminated.json"] = b"{\"dpi\":1}\x00"
    files["duplicate_keys.json"] = b"{\"dpi\": 1, \"dpi\": 2, \"rotation\": 1, \"rotation\": true}"
    files["bad_utf8.json"] = b"{\"dpi_config\": \"\xff\xfe\"}"
    files["overlong_utf8.json"] = b"{\"dpi_config\": \"\xc0\xaf\"}"
    files["lone_surrogate.json"] = b"{\"dpi_config\": \"\\ud800\"}"
    files["surrogate_pair.json"] = b"{\"dpi_config\": \"\\ud83d\\ude00\", \"name\": \"\xe4\xb8\x96\"}"
    files["deep_ok.json"] = b"{\"file_save_config\": " + b"[" * 300 + b"]" * 300 + b"}"
    files["deep_too_far.json"] = b"{\"file_save_config\": " + b"[" * 600 + b"]" * 600 + b"}"
    files["deep_unclosed.json"] = b"{" + b"\"a\":{" * 2000
    files["brackets_in_string.json"] = b"{\"dpi_config\": \"" + b"[{" * 1000 + b"\\\"\"}"
    files["huge_numbers.json"] = (b"{\"dpi\": 1e400, \"max_notification_count\": -1e400, "
                                  b"\"screen_dimension\": 3.5e38, \"rotation\": 99999999999999999999999}")
    files["sections_not_objects.json"] = (b"{\"camera_config\": 1, \"cursor_config\": [], \"function_config\": \"x\", "
                                          b"\"feature_toggle\": true, \"caton_monitor\": [1,2,3,4], "
                                          b"\"app_close_action_set\": null, \"multipane\": 0}")
    files["lists_not_arrays.json"] = (b"{\"aosp_dpi_gear\": {\"mini_inch\": 1}, \"switch_list\": true, "
                                      b"\"selectable_aspect_ratio\": \"16:9\", \"env_detect_list\": {}}")
    files["sizes.json"] = (b"{\"resolution\": [1], \"landscape_size\": [1, 2, 3], \"portrait_size\": [true, 2.9], "
                           b"\"monitor_size\": [\"1\", 2], \"aspect_ratio\": [[1], 2]}")

    # Files found by fuzzing (fuzz_*) are kept beside these.
    os.makedirs(OUT, exist_ok=True)
    for name, content in sorted(files.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(content)
    print(f"{len(files)} files in {OUT}", file=sys.stderr)


if __name__ == "__main__":
    main()
