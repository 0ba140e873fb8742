"""A copy of the product's folders in a temporary folder, for the checks' planted faults."""

import contextlib
import os
import shutil
import tempfile

import include_order


@contextlib.contextmanager
def product_copy(source, prefix):
    """A temporary copy of the product's folders and docs/ of source, removed afterwards."""
    with tempfile.TemporaryDirectory(prefix=prefix) as copy:
        for top in include_order.product_roots(source) + ["docs"]:
            shutil.copytree(os.path.join(source, top), os.path.join(copy, top))
        yield copy


def plant(copy, path, line):
    """Appends line to the file path of the copy (made when it is missing)."""
    with open(os.path.join(copy, path), "a", encoding="utf-8") as f:
        f.write(line + "\n")
