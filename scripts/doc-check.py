#!/usr/bin/python3
"""Checks that the documents agree with the code, so drift fails the test command.

- no merge-conflict marker in any tracked file;
- every key of the program's table of keys (k_setting_keys in src/settings/settings.cpp)
  has a row in the README's table, an entry in the man page's SETTINGS and a line in
  contrib/settings.example, and no document names a MOD_CRATEFERRY_ key the program
  does not know;
- every log format the program can write (each syslog(LOG_..., "...") in src/, adjacent
  literals joined, a %s filled with a fixed path of src/paths.h) is listed in the man
  page's LOG MESSAGES at its level, and that list names none the program cannot write;
- the man page renders without a warning (groff -man -ww; skipped without groff).

Prints each finding on a line of its own and, last, "doc-check: N passed, N failed,
N skipped" (one case per check); exits 1 when anything is found. Standard library only.
Usage: python3 scripts/doc-check.py [SOURCE_FOLDER]
"""

import os
import re
import subprocess
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(__file__), ".."))
MAN = "man/crateFerry.8"
README = "README.md"
SETTINGS_EXAMPLE = "contrib/settings.example"
KEY_TABLE = "src/settings/settings.cpp"
PATHS = "src/paths.h"

# Every document a reader may copy a key from; a key none of them may name unless the
# program knows it.
KEY_DOCUMENTS = [README, MAN, SETTINGS_EXAMPLE]
KEY_DOCUMENT_FOLDERS = ["docs", "contrib", "bench", "packaging"]

# The man page's subsection of each level: "At error level" and so on.
LEVEL_WORDS = {
    "LOG_EMERG": "emergency", "LOG_ALERT": "alert", "LOG_CRIT": "critical",
    "LOG_ERR": "error", "LOG_WARNING": "warning", "LOG_NOTICE": "notice",
    "LOG_INFO": "info", "LOG_DEBUG": "debug",
}
# <cinttypes> macros within a format, written in the man page as on a 32-bit device.
FORMAT_MACROS = {"PRIu64": "llu", "PRId64": "lld", "PRIx64": "llx", "PRIu32": "u",
                 "PRId32": "d", "PRIuMAX": "ju", "PRIdMAX": "jd"}

KEY_NAME = re.compile(r"MOD_CRATEFERRY_[A-Za-z0-9_]*[A-Za-z0-9]")
CONVERSION = re.compile(
    r"%(?:%|[-+ #0']*(\*|\d+)?(?:\.(\*|\d+))?(?:hh|h|ll|l|j|z|t|L)?([diouxXeEfFgGaAcspnm]))")

findings = []


def finding(text):
    findings.append(text)
    print("doc-check: " + text)


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as f:
        return f.read()


def tracked_files():
    try:
        out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], check=True,
                             capture_output=True).stdout
        return [name for name in out.decode("utf-8", "replace").split("\0") if name]
    except (OSError, subprocess.CalledProcessError):
        # Not a git checkout (an unpacked source archive): every file but the builds'.
        names = []
        for folder, subfolders, files in os.walk(ROOT):
            subfolders[:] = [s for s in subfolders
                             if s != ".git" and not s.startswith("build")]
            names += [os.path.relpath(os.path.join(folder, f), ROOT) for f in files]
        return names


# --- C++ source: tokens, the table of keys, the syslog formats -------------------------

TOKEN = re.compile(r"""
    (?P<space>\s+) | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
  | (?P<char>'(?:\\.|[^'\\\n])*')
  | (?P<name>[A-Za-z_]\w*(?:::[A-Za-z_]\w*)*)
  | (?P<number>\.?\d[\w.']*)
  | (?P<punct>::|->|[^\s])
""", re.S | re.X)

ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'",
           "a": "\a", "b": "\b", "f": "\f", "v": "\v", "?": "?"}


def unescape(literal):
    body = literal[literal.index('"') + 1:-1]
    return re.sub(r"\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)",
                  lambda m: ESCAPES.get(m.group(1), chr(int(m.group(1)[1:], 16))
                                        if m.group(1)[0] == "x" else
                                        chr(int(m.group(1), 8)) if m.group(1)[0].isdigit()
                                        else m.group(1)), body)


def tokens(text):
    """(kind, text, line) for each token, comments and blanks left out."""
    line = 1
    for m in TOKEN.finditer(text):
        kind = m.lastgroup
        if kind not in ("space", "comment"):
            yield kind, m.group(), line
        line += m.group().count("\n")


def string_constants(paths):
    """NAME -> text of each `constexpr ... NAME[] = "..."` / `NAME = "..."` in the files,
    also as paths::NAME for src/paths.h."""
    constants = {}
    for path in paths:
        for m in re.finditer(r'constexpr\s+(?:const\s+)?char\s*(?:const\s*)?\*?\s*(\w+)\s*'
                             r'(?:\[\])?\s*=\s*((?:"(?:\\.|[^"\\])*"\s*)+);', read(path)):
            value = "".join(unescape(s) for s in re.findall(r'"(?:\\.|[^"\\])*"', m.group(2)))
            constants[m.group(1)] = value
            if path == PATHS:
                constants["paths::" + m.group(1)] = value
    return constants


def program_keys(constants):
    text = read(KEY_TABLE)
    m = re.search(r"k_setting_keys\s*\[\s*\]\s*=\s*\{(.*?)\n\};", text, re.S)
    if not m:
        finding(f"{KEY_TABLE}: no table k_setting_keys[] found")
        return []
    keys = []
    for row in re.finditer(r"\{\s*([^,{}]+?)\s*,", m.group(1)):
        first = row.group(1)
        if first.startswith('"'):
            keys.append(unescape(first))
        elif first in constants:
            keys.append(constants[first])
        else:
            finding(f"{KEY_TABLE}: the key {first} of k_setting_keys is no string constant")
    if not keys:
        finding(f"{KEY_TABLE}: k_setting_keys lists no key")
    return keys


def split_arguments(toks):
    """The arguments of a call whose '(' was just taken; each a list of tokens."""
    args, current, depth = [], [], 0
    for tok in toks:
        kind, text, _ = tok
        if text in "([{" and kind == "punct":
            depth += 1
        elif text in ")]}" and kind == "punct":
            if depth == 0:
                args.append(current)
                return args
            depth -= 1
        if text == "," and kind == "punct" and depth == 0:
            args.append(current)
            current = []
        else:
            current.append(tok)
    return None


def log_formats(constants):
    """(level, format, where) of every syslog call in src/."""
    formats = []
    sources = sorted(f for f in tracked_files()
                     if f.startswith("src/") and re.search(r"\.(c|cc|cpp|h|hpp)$", f))
    for path in sources:
        toks = list(tokens(read(path)))
        for i, (kind, text, line) in enumerate(toks):
            if not (kind == "name" and text in ("syslog", "::syslog")
                    and i + 1 < len(toks) and toks[i + 1][1] == "("):
                continue
            where = f"{path}:{line}"
            args = split_arguments(iter(toks[i + 2:]))
            if not args or len(args) < 2:
                finding(f"{where}: a syslog call this check cannot read")
                continue
            level = next((t for _, t, _ in args[0] if t in LEVEL_WORDS), None)
            pieces = []
            for kind2, text2, _ in args[1]:
                if kind2 == "string":
                    pieces.append(unescape(text2))
                elif text2 in FORMAT_MACROS:
                    pieces.append(FORMAT_MACROS[text2])
                else:
                    pieces = None
                    break
            if level is None or pieces is None:
                finding(f"{where}: syslog without a LOG_ level and a literal format "
                        "at the call site")
                continue
            formats.append((level, fill_fixed_texts("".join(pieces), args[2:], constants),
                            where))
    return formats


def fill_fixed_texts(fmt, args, constants):
    """The format with each %s whose argument is a fixed text (a string literal or a
    constant such as paths::settings) replaced by that text, as a reader sees it."""
    out, pos, arg = [], 0, 0
    for m in CONVERSION.finditer(fmt):
        out.append(fmt[pos:m.start()])
        pos = m.end()
        text = m.group()
        if text == "%%" or m.group(3) == "m":
            out.append(text)
            continue
        arg += (m.group(1) == "*") + (m.group(2) == "*")
        value = None
        if m.group(3) == "s" and arg < len(args):
            value = fixed_text(args[arg], constants)
        out.append(text if value is None else value.replace("%", "%%"))
        arg += 1
    out.append(fmt[pos:])
    return "".join(out)


def fixed_text(arg, constants):
    if all(kind == "string" for kind, _, _ in arg) and arg:
        return "".join(unescape(text) for _, text, _ in arg)
    if len(arg) == 1 and arg[0][1] in constants:
        return constants[arg[0][1]]
    return None


# --- the man page ---------------------------------------------------------------------

ROFF_ESCAPES = [(r"\(dq", '"'), (r"\(lq", "\u201c"), (r"\(rq", "\u201d"), (r"\(aq", "'"),
                (r"\(em", "\u2014"), (r"\(en", "\u2013"), (r"\(bu", "\u2022"), (r"\-", "-"),
                (r"\e", "\\"), (r"\ ", " "), (r"\~", " "), (r"\&", ""), (r"\|", ""),
                (r"\^", "")]


def roff_text(line):
    """The text a man page line shows: fonts dropped, escapes resolved, a font macro's
    arguments joined (with blanks for .B and .I, without for .BR, .IR and the like)."""
    line = re.sub(r"\\f(\[\w*\]|\(..|.)", "", line)
    m = re.match(r"\.(B|I|BR|RB|BI|IB|IR|RI|SM|SB)\s+(.*)", line)
    if m:
        args = [a[1:-1] if a.startswith('"') else a
                for a in re.findall(r'"(?:[^"]|"")*"|\S+', m.group(2))]
        line = (" " if m.group(1) in ("B", "I", "SM", "SB") else "").join(args)
    for escape, text in ROFF_ESCAPES:
        line = line.replace(escape, text)
    return line


def man_sections(text):
    """SECTION -> [(line number, line)] for each .SH of the page."""
    sections, name = {}, None
    for number, line in enumerate(text.split("\n"), 1):
        m = re.match(r'\.SH\s+"?([^"]*)"?\s*$', line)
        if m:
            name = m.group(1)
            sections[name] = []
        elif name:
            sections[name].append((number, line))
    return sections


def tagged_entries(lines):
    """(line number, tag text, subsection) of every .TP and .TQ entry."""
    entries, subsection, take = [], None, False
    for number, line in lines:
        m = re.match(r'\.SS\s+"?([^"]*)"?\s*$', line)
        if m:
            subsection, take = m.group(1), False
        elif re.match(r"\.(TP|TQ)\b", line):
            take = True
        elif take and not line.startswith(".\\\""):
            entries.append((number, roff_text(line), subsection))
            take = False
    return entries


# --- the checks -----------------------------------------------------------------------

def check_conflict_markers():
    count = len(findings)
    for path in tracked_files():
        full = os.path.join(ROOT, path)
        if not os.path.isfile(full) or os.path.islink(full):
            continue
        with open(full, "rb") as f:
            data = f.read()
        if b"\0" in data:
            continue
        lines = data.decode("utf-8", "replace").split("\n")
        markdown = path.endswith((".md", ".rst", ".txt"))
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\r")
            if line.startswith(("<" * 7 + " ", ">" * 7 + " ", "|" * 7 + " ")) \
                    or line in ("<" * 7, ">" * 7):
                finding(f"{path}:{number}: a merge-conflict marker: {line[:60]}")
            elif line == "=" * 7:
                # In Markdown a line of = under a text line underlines a heading.
                previous = lines[number - 2].strip() if number > 1 else ""
                if not (markdown and previous and not previous.startswith(("<" * 7, "=" * 7))):
                    finding(f"{path}:{number}: a merge-conflict marker: {line}")
    return len(findings) == count


def check_settings_keys(constants):
    count = len(findings)
    keys = program_keys(constants)
    known = {k.upper() for k in keys}

    readme_rows = set(re.findall(r"^\|\s*`(MOD_CRATEFERRY_\w+)`\s*\|", read(README), re.M))
    sections = man_sections(read(MAN))
    man_entries = {tag.split()[0] for _, tag, _ in tagged_entries(sections.get("SETTINGS", []))
                   if tag.startswith("MOD_CRATEFERRY_")}
    example_lines = set(re.findall(r"^(MOD_CRATEFERRY_\w+)=", read(SETTINGS_EXAMPLE), re.M))
    if "SETTINGS" not in sections:
        finding(f"{MAN}: no SETTINGS section")
    for key in keys:
        if key not in readme_rows:
            finding(f"{README}: the table of keys has no row for {key}")
        if key not in man_entries:
            finding(f"{MAN}: SETTINGS has no entry for {key}")
        if key not in example_lines:
            finding(f"{SETTINGS_EXAMPLE}: no {key}= line")

    documents = list(KEY_DOCUMENTS)
    documents += [f for f in tracked_files()
                  if f.split("/")[0] in KEY_DOCUMENT_FOLDERS and f not in documents]
    for path in documents:
        for number, line in enumerate(read(path).split("\n"), 1):
            for name in KEY_NAME.findall(line.replace("\\-", "-")):
                if name.upper() not in known:
                    finding(f"{path}:{number}: {name} is no key the program knows")
    return len(findings) == count


def check_log_messages(constants):
    count = len(findings)
    written = {}
    for level, fmt, where in log_formats(constants):
        written.setdefault((LEVEL_WORDS[level], fmt), where)
    if not written:
        finding("src/: no syslog call found")

    sections = man_sections(read(MAN))
    if "LOG MESSAGES" not in sections:
        finding(f"{MAN}: no LOG MESSAGES section")
    listed = {}
    for number, tag, subsection in tagged_entries(sections.get("LOG MESSAGES", [])):
        m = re.match(r"At (\w+) level$", subsection or "")
        if m:
            listed.setdefault((m.group(1), tag), number)
    listed_formats = {fmt: level for level, fmt in listed}

    for (level, fmt), where in sorted(written.items(), key=lambda item: item[1]):
        if (level, fmt) in listed:
            continue
        if fmt in listed_formats:
            finding(f'{where}: "{fmt}" is written at {level} level, but {MAN} lists it '
                    f"At {listed_formats[fmt]} level")
        else:
            finding(f'{where}: "{fmt}" ({level}) is not in {MAN}, LOG MESSAGES, '
                    f"At {level} level")
    written_levels = {}
    for level, fmt in written:
        written_levels.setdefault(fmt, []).append(level)
    for (level, fmt), number in sorted(listed.items(), key=lambda item: item[1]):
        if (level, fmt) in written:
            continue
        if fmt in written_levels:
            finding(f'{MAN}:{number}: LOG MESSAGES lists "{fmt}" At {level} level, but '
                    f"src/ writes it at {' and '.join(sorted(written_levels[fmt]))} level only")
        else:
            finding(f'{MAN}:{number}: LOG MESSAGES lists "{fmt}", which no syslog call '
                    "in src/ writes")
    return len(findings) == count


def check_man_renders():
    """True or False; None when groff is not installed."""
    try:
        result = subprocess.run(["groff", "-man", "-ww", "-z", os.path.join(ROOT, MAN)],
                                capture_output=True, text=True, stdin=subprocess.DEVNULL)
    except OSError:
        return None
    for line in result.stderr.splitlines():
        finding(f"{MAN}: groff: {line}")
    if result.returncode != 0 and not result.stderr:
        finding(f"{MAN}: groff exited with status {result.returncode}")
    return result.returncode == 0 and not result.stderr


def main():
    constants = string_constants(sorted(f for f in tracked_files()
                                        if f.startswith("src/") and f.endswith((".h", ".cpp"))))
    checks = [("no conflict markers", check_conflict_markers),
              ("settings keys", lambda: check_settings_keys(constants)),
              ("log messages", lambda: check_log_messages(constants)),
              ("man page renders", check_man_renders)]
    passed = failed = skipped = 0
    for name, check in checks:
        verdict = check()
        if verdict is None:
            skipped += 1
            print(f"doc-check: {name}: skipped (no groff)")
        elif verdict:
            passed += 1
            print(f"doc-check: {name}: agree")
        else:
            failed += 1
            print(f"doc-check: {name}: FAILED")
    print(f"doc-check: {passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
