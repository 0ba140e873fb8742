"""Checks that every public declaration of the product is used by another file.

A function or variable declared at namespace scope in a product header must appear in a product
file other than its own ones: the header and the .cpp of the same name in its folder (for a
seam header platform/x.h, platform/<platform>/x.cpp). A use by another declaration of the
header counts. Tests do not: what only a file and its tests use goes into the file's unnamed
namespace, or into `<name>_internal.h` beside it when a test needs it, a header that only its
own .cpp and the tests include. Constants and types are not checked: they state what callers
may rely on.
"""

import collections
import os
import re
import sys

import include_order

INTERNAL_SUFFIX = "_internal.h"
# Comments, string and character literals, preprocessor lines: none declares or uses a name.
NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|^\s*#[^\n]*',
                   re.S | re.M)
TOKEN = re.compile(r"[A-Za-z_]\w*|::|\S")
IDENTIFIER = re.compile(r"[A-Za-z_]\w*$")
KEYWORDS = {"const", "constexpr", "inline", "extern", "static", "unsigned", "signed", "volatile",
            "char", "int", "void", "bool", "long", "short", "auto", "noexcept", "std"}
# Statements that declare no function or variable.
NOT_DECLARATIONS = {"static_assert", "namespace", "template", "using", "typedef", "struct",
                    "class", "union", "enum"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def tokens_of(text):
    """The tokens of a C++ text with its comments, literals and preprocessor lines taken out."""
    return TOKEN.findall(NOISE.sub(" ", text))


def skip_group(tokens, start, opening, closing):
    """The index past the group that opens at tokens[start]."""
    depth = 0
    for index in range(start, len(tokens)):
        if tokens[index] == opening:
            depth += 1
        elif tokens[index] == closing:
            depth -= 1
            if depth == 0:
                return index + 1
    return len(tokens)


def declared_name(statement):
    """The function or variable a namespace-scope statement (its tokens up to a body)
    declares, or None: constants and types say what callers may rely on, and are not checked."""
    words = [token for token in statement if token != "__attribute__"]
    if not words or words[0] in NOT_DECLARATIONS or "constexpr" in words:
        return None
    head = []
    for word in words:  # up to an initializer or a parameter list
        if word in ("=", "("):
            break
        head.append(word)
    if words[len(head):len(head) + 2] == ["(", "*"]:
        return words[len(head) + 2]  # a pointer to a function: type (*name)(...)
    if "[" in head:
        head = head[:head.index("[")]
    names = [word for word in head if IDENTIFIER.match(word) and word not in KEYWORDS]
    return names[-1] if names else None


def declarations(text):
    """The names a header declares at namespace scope, in order."""
    tokens = tokens_of(text)
    names, statement, index = [], [], 0
    while index < len(tokens):
        token = tokens[index]
        if token == "namespace":  # namespace a::b { ... } adds no scope of its own here
            while index < len(tokens) and tokens[index] != "{":
                index += 1
            index += 1
            continue
        if token == "}" and not statement:  # a namespace closes
            index += 1
            continue
        if token == "(" and statement and statement[-1] == "__attribute__":
            index = skip_group(tokens, index, "(", ")")
            continue
        if token == "{":  # a body or an initializer: nothing in it is at namespace scope
            is_function = "(" in statement and "=" not in statement
            index = skip_group(tokens, index, "{", "}")
            if is_function:
                token = ";"
            else:
                continue
        else:
            index += 1
        if token == ";":
            name = declared_name(statement)
            if name is not None:
                names.append(name)
            statement = []
        else:
            statement.append(token)
    return names


def own_files(header):
    """The files a header belongs to: itself and the .cpp (or, for a seam header, the .cpp of
    each platform) of its name."""
    folder, name = os.path.split(header)
    stem = name[:-len(INTERNAL_SUFFIX)] if name.endswith(INTERNAL_SUFFIX) else name[:-2]
    own = {header, os.path.join(folder, stem + ".cpp")}
    if folder == "platform":
        for platform in ("linux", "win32"):
            own.add(os.path.join(folder, platform, stem + ".cpp"))
    return own


def violations(root):
    """Every public declaration no other file uses, and every internal header included from
    outside its own file, as 'file: why' texts."""
    paths = list(include_order.product_files(root))
    texts, uses = {}, {}
    for path in paths:
        with open(os.path.join(root, path), encoding="utf-8") as source:
            texts[path] = source.read()
        uses[path] = collections.Counter(
            token for token in tokens_of(texts[path]) if IDENTIFIER.match(token))
    found = []
    for header in paths:
        if not header.endswith(".h"):
            continue
        own = own_files(header)
        if header.endswith(INTERNAL_SUFFIX):
            for path in paths:
                if path not in own and header in INCLUDE.findall(texts[path]):
                    found.append(f"{path}: includes {header}, which only "
                                 f"{sorted(own - {header})[0]} and tests may include")
            continue
        declared = declarations(texts[header])
        for name in dict.fromkeys(declared):
            if uses[header][name] > declared.count(name):
                continue  # another declaration of the header uses it
            if not any(uses[path][name] for path in paths if path not in own):
                found.append(f"{header}: {name} is public, but no other file of the "
                             f"product uses it")
    return found


if __name__ == "__main__":
    sys.exit(include_order.report(violations))
