"""The architecture page's file table names every file of the product and nothing else.

Under "## The product's files" each "### `folder/`" heading opens the table of that folder; the
first column of a row names its files in backticks ("`a.h`, `a.cpp`"). A file of the product
without a row, a row or a path anywhere on the page that names no file, and a file named twice
all fail, each named.
"""

import os
import re
import unittest

import include_order
from product_copy import product_copy

SOURCE = os.environ.get("LINKSPY_SOURCE",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
PAGE = include_order.PAGE
FILES_HEADING = "## The product's files"
FOLDER_HEADING = re.compile(r"^### `([a-z0-9_/]+)/`\s*$")
SOURCE_NAME = re.compile(r"`([A-Za-z0-9_]+\.(?:h|cpp))`")


def read_page(root):
    with open(os.path.join(root, PAGE), encoding="utf-8") as page:
        return page.read()


def table_rows(text):
    """(path, line number) for every file the file table names, and the faults of its form."""
    rows, faults = [], []
    lines = text.splitlines()
    try:
        start = lines.index(FILES_HEADING)
    except ValueError:
        return rows, [f"{PAGE} has no '{FILES_HEADING}' section"]
    folder = None
    for number, line in enumerate(lines[start + 1:], start + 2):
        if line.startswith("## "):
            break
        heading = FOLDER_HEADING.match(line)
        if heading:
            folder = heading.group(1)
            continue
        if not line.startswith("|") or line.startswith("| file ") or line.startswith("| ---"):
            continue
        names = SOURCE_NAME.findall(line.split("|")[1])
        if folder is None or not names:
            faults.append(f"{PAGE}:{number}: a row outside a folder's table or without a file")
            continue
        rows.extend((f"{folder}/{name}", number) for name in names)
    return rows, faults


def faults_of_page(root):
    """Every fault of the page, each naming the file or word concerned."""
    text = read_page(root)
    rows, faults = table_rows(text)
    named = {}
    for path, number in rows:
        if path in named:
            faults.append(f"{PAGE}:{number}: {path} has a row already (line {named[path]})")
        named.setdefault(path, number)
    product = set(include_order.product_files(root))
    # A product path written anywhere on the page, e.g. `capi/receive_thread.cpp`.
    product_path = re.compile(r"`((?:%s)/[a-z0-9_/]+\.(?:h|cpp))`"
                              % "|".join(include_order.product_roots(root)))
    missing = sorted(product - set(named))
    if missing:
        faults.append("missing rows in the file table of %s: %s" % (PAGE, ", ".join(missing)))
    for path in sorted(set(named) - product):
        faults.append(f"{PAGE}:{named[path]}: the table names {path}, which does not exist")
    for number, line in enumerate(text.splitlines(), 1):
        for path in product_path.findall(line):
            if path not in product:
                faults.append(f"{PAGE}:{number}: names {path}, which does not exist")
    return faults


class ArchitecturePage(unittest.TestCase):
    def test_the_file_table_names_every_product_file_and_no_other(self):
        self.assertEqual(faults_of_page(SOURCE), [])

    def test_planted_faults_are_each_named(self):
        with product_copy(SOURCE, "linkspy-archpage-") as copy:
            before = faults_of_page(copy)
            with open(os.path.join(copy, "output", "planted_extra.cpp"), "w") as f:
                f.write("// planted\n")
            os.remove(os.path.join(copy, "console", "banner.h"))
            with open(os.path.join(copy, PAGE), "a", encoding="utf-8") as page:
                page.write("\nSee `adapter/gone.cpp` for the old queries.\n")
            found = faults_of_page(copy)
        new = [fault for fault in found if fault not in before]
        joined = "\n".join(new)
        self.assertRegex(joined, r"missing rows in the file table of .*: "
                                 r"(.*, )?output/planted_extra\.cpp")
        self.assertIn("the table names console/banner.h, which does not exist", joined)
        self.assertIn("names adapter/gone.cpp, which does not exist", joined)
        self.assertEqual(len(new), 3, new)


if __name__ == "__main__":
    unittest.main()
