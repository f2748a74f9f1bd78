"""The one reader of connect_cases.txt (its top says what each field means): it alone decides what a case is. The
Python harness imports it; `connect_cases.py TABLE OUT` writes the cases to OUT for the C and C# harnesses, which
judge nothing: each case as "field: value" lines, every field that has a value (its default filled in), then a
blank line. A line that does not parse ends the reading, so that a typo never skips a case."""
import os
import re
import sys
import types

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../bindings/python"))
import qbsocks as Q  # noqa: E402 (the names of the results, steps and causes)

NAMES = {kind: "|".join(kind.__members__) for kind in (Q.Result, Q.Step, Q.Cause)}
# Each field: the pattern of its values, and its default (None: none, the field is left out).
FIELDS = {"case": (".+", None), "proxy": ("none|dante|microsocks|microsocks-auth|refusing|silent|dropping|scripted|"
                                          "unresolved", "none"), "version": ("[45]", "5"), "user": (".*", None),
          "password": (".*", None), "settings": ("readable|unreadable", "readable"), "host": (".+", "127.0.0.1"),
          "server": ("127.0.0.1|::1", "127.0.0.1"), "heard": (r"([0-9a-f]{2}|\{target_port\})+", None), "found": (r"[0-9a-f.:]+( [0-9a-f.:]+)+", None),
          "first": ("refusing|dropping", "refusing"),
          "target": ("echo|refusing", "echo"), "bound_ms": (r"\d+(\.\d+)?", "60000"),
          "cancel": (r"before|\d|[1-9]\d|1\d\d|200", "0"),  # at most 200: the threads a C harness starts
          "script": ("([0-9a-f]{2}){1,64}!?", None), "after_script": ("any|nothing", "any"),
          "only": ("((c|python|csharp)( |$))+", "c python csharp"), "result": (NAMES[Q.Result], None),
          "also": ("plain|later|unknown|chained|many|give-up|watched|late", ""),
          "step": (f"({NAMES[Q.Step]})(\\|({NAMES[Q.Step]}))*", "NONE"), "cause": (NAMES[Q.Cause], "NONE"),
          "proxy_code": (r"\d+", None), "system_error": (r"\d+", "0"), "system_error_windows": (r"\d+", None),
          "reason": (".*", ""), "reason_windows": (".*", None)}


def read(path, text=None):  # each case's fields, as text (text: in place of the file's)
    if text is None:
        with open(path, encoding="utf-8") as table:
            text = table.read()
    cases = []
    for lines in ([line for line in block.split("\n") if line and not line.startswith("#")]
                  for block in re.split(r"\n[ \t]*\n", text)):
        fields = [line.partition(": ") for line in lines]
        for line, (field, colon, value) in zip(lines, fields):
            if not colon or not re.fullmatch(FIELDS.get(field, ("(?!)",))[0], value):
                raise SystemExit(f"FAILED {path}: {line!r}: no such field, or a value that does not parse")
        case = {field: value for field, _, value in fields}
        if lines and (fields[0][0] != "case" or len(case) < len(lines) or "result" not in case):
            raise SystemExit(f"FAILED {path}: {lines[0]!r}: a case begins with case:, has result: and each field once")
        if lines:
            cases.append(types.SimpleNamespace(**{f: case.get(f, default) for f, (_, default) in FIELDS.items()}))
    return cases


if __name__ == "__main__":
    text = "".join("".join(f"{f}: {v}\n" for f, v in vars(case).items() if v is not None) + "\n"
                   for case in read(sys.argv[1]))
    with open(sys.argv[2], "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
