"""Checks that every include of the product runs downward.

The layers, top to bottom, are the table under "## Layers" in docs/ARCHITECTURE.md: each row
names its folders in backticks. Each folder (or subfolder) of the product is one node. A file
may include a header of its own folder or of a folder in a lower layer; a platform's own
folder (platform/linux, platform/win32) is included only from itself.
"""

import os
import re
import sys

PAGE = os.path.join("docs", "ARCHITECTURE.md")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layers(root):
    """The folder -> layer number map stated by the architecture page (0 is the top)."""
    with open(os.path.join(root, PAGE), encoding="utf-8") as page:
        text = page.read()
    section = re.search(r"^## Layers\b.*?$(.*?)^## ", text, re.M | re.S)
    if section is None:
        raise ValueError(f"{PAGE} has no '## Layers' section")
    order = {}
    rows = [line for line in section.group(1).splitlines() if line.startswith("|")]
    for level, row in enumerate(rows[2:]):  # past the header and its rule
        for folder in re.findall(r"`([a-z0-9_/]+)/`", row.split("|")[1]):
            order[folder] = level
    return order


def product_roots(root):
    """The product's top folders: those of the folders the Layers table names."""
    return sorted({folder.split("/")[0] for folder in layers(root)})


def product_files(root):
    """Every C++ file of the product, as paths relative to root."""
    for top in product_roots(root):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    yield os.path.relpath(os.path.join(folder, name), root)


def is_platform_own(folder):
    """True for the folder of one platform's implementation, which only it may include."""
    return folder.startswith("platform/")


def violations(root):
    """Every include against the stated order, as 'file:line: why' texts."""
    order = layers(root)
    found = []
    for path in product_files(root):
        node = os.path.dirname(path)
        if node not in order:
            found.append(f"{path}: folder {node}/ stands in no layer of {PAGE}")
            continue
        with open(os.path.join(root, path), encoding="utf-8") as source:
            for number, line in enumerate(source, 1):
                match = INCLUDE.match(line)
                if match is None:
                    continue
                target = match.group(1)
                where = f"{path}:{number}: includes {target}"
                if not os.path.isfile(os.path.join(root, target)):
                    found.append(f"{where}, which is no file of the product")
                    continue
                to = os.path.dirname(target)
                if to == node:
                    continue
                if to not in order:
                    found.append(f"{where}, whose folder stands in no layer")
                elif is_platform_own(to):
                    found.append(f"{where}: only {to}/ itself includes its headers")
                elif order[to] <= order[node]:
                    found.append(f"{where}: {to}/ (layer {order[to] + 1}) is not below "
                                 f"{node}/ (layer {order[node] + 1})")
    return found


def report(check):
    """Prints what check finds in the tree named on the command line (this folder when none);
    the exit status is 1 when it finds anything."""
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    found = check(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(report(violations))
