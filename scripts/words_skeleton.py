#!/usr/bin/env python3
"""Prints the skeleton of docs/words.md from the registration tables: every name the
start-up binds, by theme (the source file that binds it), with its environment, whether its
arguments are evaluated, and how many it takes. The descriptions are merged by hand.

Sources: the core words' table (src/lang/core_table.cpp), the word library's registrar
table (src/words/function_start.cpp) with each registrar's body in src/words, the runtime
services that bind words at start-up (src/interp, src/remote), and the matrix words'
registrar table (src/mxcmd/mx_word_registrars.cpp) with the bodies in src/mxcmd.

Usage: scripts/words_skeleton.py [SOURCE_DIR]   (default: the folder above this script)
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)

THEMES = {
    "control": "Control", "evaluation": "Evaluation, errors and the process",
    "definitions": "Definitions", "environments": "Environments",
    "lists": "Lists and elements", "records": "Records and tables", "records_sort": "Records and tables",
    "symbols": "Symbols, attributes and types", "cast": "Casts", "units_time": "Units and time",
    "strings": "Strings", "patterns": "Patterns and encodings", "output": "Output",
    "print_word": "Output", "load": "Loading", "save": "Saving",
    "get_file": "Fetching through the prefix table", "processes": "Arguments and child processes",
    "system_info": "System information", "rules": "Rules", "find_file": "File search",
    "file_words": "Files and directories", "path_words": "Paths and URLs",
    "prefix_words": "Script path, path pairs and prefixes",
    "open_interpreter": "Opening interpreters", "interpreter_words": "Interpreters",
    "threads": "Threads", "remote_session": "Remote session requests",
    "sessions": "Sessions and proxies",
}
MX_THEMES = {
    "mx_level_words": "Level arithmetic, thinning and maximum",
    "mx_channel_words": "Channel access, triggers and jumps",
    "mx_node_words": "Node loading, saving and structure-block channels",
    "mx_zlib_words": "Block compression", "mx_jpeg_words": "Block compression",
    "mx_compound_words": "Compound blocks and grids", "mx_grid_words": "Compound blocks and grids",
    "mx_old_format": "Older stored formats", "sb_array": "Structure-block kinds",
    "sb_primitive": "Structure-block kinds", "sb_layering": "Structure-block kinds",
    "pp_words": "Point lists",
}

ARG = r"\s*([^,()]+?)\s*"
# bind_word(env, "Name", prim, order, args_env, min, max)
BIND_WORD = re.compile(r"\bbind_word\(" + ARG + r',\s*"([^"]+)",' + ARG + "," + ARG + "," + ARG + "," + ARG + "," + ARG + r"\)")
# bind(env, "Name", prim, min, max): evaluated, no sub-environment
BIND_SHORT = re.compile(r"\bbind\(" + ARG + r',\s*"([^"]+)",' + ARG + "," + ARG + "," + ARG + r"\)")
# mx_bind_word(env, "Name", prim, order, min, max)
MX_BIND = re.compile(r"\bmx_bind_word\(" + ARG + r',\s*"([^"]+)",' + ARG + "," + ARG + "," + ARG + "," + ARG + r"\)")
# set_env(env, _l_string_N(std_cm, "Name"), get_func_prim(prim, order, args_env, min, max))
SET_PRIM = re.compile(r'set_env\(' + ARG + r',\s*_l_string_[12]\(std_cm,\s*"([^"]+)"\),\s*get_func_prim\('
                      + ARG + "," + ARG + "," + ARG + "," + ARG + "," + ARG + r"\)\)")
# set_env(env, _l_string_N(std_cm, "Name"), <a value made once>): a value, not a word
SET_VALUE = re.compile(r'set_env\(' + ARG + r',\s*_l_string_[12]\(std_cm,\s*"([^"]+)"\),\s*(?!\s|get_func_prim|get_string)')
CALL_INIT = re.compile(r"\b(init_\w+)\((\w+)\)")
CORE_ROW = re.compile(r'\{"([^"]+)",\s*([OI]),\s*(\w+),\s*(\d+),\s*(\d+),\s*(-?\d+)\}')
TABLE_ROW = re.compile(r'\{"([^"]+)",\s*(init_\w+)(?:,\s*(\d))?\}')
CONST_ROW = re.compile(r'\{"(mxPg\w+|ARS_\w+)",\s*[^}]+\}')


def limit(v):
    v = v.strip()
    return -1 if v in ("kNoMax", "-1") else int(v)


def order_of(v):
    v = v.strip()
    return {"kEvaluated": 1, "kSpecialForm": 0, "kMxEvaluated": 1, "kMxSpecialForm": 0}.get(v, None) if not v.isdigit() else int(v)


def bodies(path):
    """The init_ functions of a source file: name -> (parameter name, body text)."""
    text = path.read_text()
    out = {}
    for m in re.finditer(r"^void (init_\w+)\(TQISP_ENV\*\s*(\w+)\)\s*\{", text, re.M):
        depth, i = 1, m.end()
        while depth and i < len(text):
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            i += 1
        out[m.group(1)] = (m.group(2), text[m.end():i - 1])
    return out


class Word:
    def __init__(self, name, theme, where, order, lo, hi, prim):
        self.name, self.theme, self.where, self.order, self.lo, self.hi, self.prim = name, theme, where, order, lo, hi, prim

    def form(self):
        lo, hi = self.lo - 1, self.hi - 1 if self.hi >= 0 else -1
        count = f"{lo}" if lo == hi else (f"{lo} or more" if hi < 0 else f"{lo} to {hi}")
        kind = "special form" if self.order == 0 else "evaluated"
        return f"{count} argument{'s' if count != '1' else ''}, {kind}, {self.where}"


def words_of(body_map, init, param, theme, where, seen):
    """The words an init_ function binds: in its parameter's environment (where), or in a
    sub-environment it makes (named after the word that owns it)."""
    if init not in body_map or init in seen:
        return []
    seen.add(init)
    var, body = body_map[init]
    found = []
    for m in BIND_WORD.finditer(body):
        env, name, prim, order, _args, lo, hi = m.groups()
        found.append(Word(name, theme, where if env == var else f"sub-environment ({env})", order_of(order), limit(lo), limit(hi), prim))
    for m in BIND_SHORT.finditer(body):
        env, name, prim, lo, hi = m.groups()
        found.append(Word(name, theme, where, 1, limit(lo), limit(hi), prim))
    for m in MX_BIND.finditer(body):
        env, name, prim, order, lo, hi = m.groups()
        found.append(Word(name, theme, where, order_of(order), limit(lo), limit(hi), prim))
    for m in SET_PRIM.finditer(body):
        env, name, prim, order, _args, lo, hi = m.groups()
        found.append(Word(name, theme, where, order_of(order), limit(lo), limit(hi), prim))
    for m in CALL_INIT.finditer(body):
        callee, arg = m.groups()
        sub_where = where if arg == var else f"sub-environment ({arg})"
        found += words_of(body_map, callee, arg, theme, sub_where, seen)
    return found


def core_words():
    text = (ROOT / "src/lang/core_table.cpp").read_text()
    return [Word(n, "Core words", "top 0" if e == "O" else "top 1", int(o), int(lo), int(hi), f)
            for n, e, f, o, lo, hi in CORE_ROW.findall(text)]


def library_words():
    body_map, theme_of = {}, {}
    for path in sorted((ROOT / "src/words").glob("*.cpp")):
        for k, v in bodies(path).items():
            body_map[k] = v
            theme_of[k] = THEMES.get(path.stem, path.stem)
    table = (ROOT / "src/words/function_start.cpp").read_text()
    words = [Word("Env0", "Environments", "top 0", None, 0, 0, None),
             Word("Env1", "Environments", "top 1", None, 0, 0, None)]
    seen = set()
    for _name, init, env in TABLE_ROW.findall(table):
        words += words_of(body_map, init, "env", theme_of.get(init, "?"), f"top {env}", seen)
    # Option words of "OpenInterpreter": one row of its option table each.
    oi = (ROOT / "src/words/open_interpreter.cpp").read_text()
    for name in re.findall(r'^\s*\{"(\w+)",\s*"\w+",\s*kTag\w+,', oi, re.M):
        words.append(Word(name, "Opening interpreters", "sub-environment (sub)", 1, 2, 2, None))
    return words


def service_words():
    words = []
    for folder, theme in (("interp", "Log and call locks"), ("remote", "Authentication")):
        for path in sorted((ROOT / "src" / folder).glob("*.cpp")):
            text = path.read_text()
            for m in SET_PRIM.finditer(text):
                env, name, prim, order, _args, lo, hi = m.groups()
                where = {"env0": "top 0", "env1": "top 1", "qvlisp_top_env1": "top 1", "env": "top 0"}.get(env, f"sub-environment ({env})")
                words.append(Word(name, theme, where, order_of(order), limit(lo), limit(hi), prim))
            for name in CONST_ROW.findall(text):
                words.append(Word(name, theme, "top 0", None, 0, 0, "constant"))
            for m in SET_VALUE.finditer(text):
                env, name = m.groups()
                if env == "env":  # a value bound in a top environment at start-up
                    words.append(Word(name, theme, "top 0", None, 0, 0, None))
    # The log's levels and layers, bound to their numbers in top environment 0.
    record = (ROOT / "src/interp/log_record.cpp").read_text()
    for table in re.findall(r"log_(?:level_msg|layer)\[\w+\] = \{([^}]*)\}", record):
        words += [Word(n, "Log and call locks", "top 0", None, 0, 0, "constant") for n in re.findall(r'"(\w+)"', table)]
    return words


def matrix_words():
    body_map, theme_of = {}, {}
    for path in sorted((ROOT / "src/mxcmd").glob("*.cpp")):
        for k, v in bodies(path).items():
            body_map[k] = v
            theme_of[k] = MX_THEMES.get(path.stem, path.stem)
    table = (ROOT / "src/mxcmd/mx_word_registrars.cpp").read_text()
    words, seen = [], set()
    for _name, init, _env in TABLE_ROW.findall(table):
        words += words_of(body_map, init, "env", theme_of.get(init, "?"), "matrix", seen)
        if init == "init_mxPgPlot":
            pp = (ROOT / "src/mxcmd/pp_words.cpp").read_text()
            words += [Word(n, theme_of[init], "matrix", None, 0, 0, "constant") for n in CONST_ROW.findall(pp)]
    return words


def main():
    sections = [("The core words", core_words()), ("The word library", library_words()),
                ("The runtime's services", service_words()), ("Matrix words", matrix_words())]
    total = 0
    for title, words in sections:
        print(f"# {title}\n")
        themes = {}
        for w in words:
            themes.setdefault(w.theme, []).append(w)
        for theme, ws in themes.items():
            print(f"## {theme}\n")
            by_prim = {}
            for w in ws:  # names sharing one primitive share one entry
                key = w.prim if w.prim and w.prim != "constant" else w.name
                by_prim.setdefault(key, []).append(w)
            for group in by_prim.values():
                w = group[0]
                names = ", ".join(f"`{g.name}`" for g in group)
                if w.prim == "constant":
                    print(f"| {names} | constant, {w.where} |")
                elif w.order is None:
                    print(f"### {names}\nvalue, {w.where}\n")
                else:
                    print(f"### {names}\n`({w.name} …)`: {w.form()}\nTODO what it does.\nError: TODO\n")
                total += len(group)
        print()
    print(f"<!-- {total} names -->")


if __name__ == "__main__":
    main()
