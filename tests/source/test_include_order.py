"""The product's includes run downward through the layers the architecture page states."""

import os
import re
import unittest

import include_order
from product_copy import plant, product_copy

SOURCE = os.environ.get("LINKSPY_SOURCE",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


class IncludeOrder(unittest.TestCase):
    def test_every_include_of_the_product_runs_downward(self):
        self.assertEqual(include_order.violations(SOURCE), [])

    def test_the_libraries_link_one_way(self):
        with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as f:
            links = re.findall(r"target_link_libraries\((\w+)([^)]*)\)", f.read())
        below = {"linkspy_records": set(), "linkspy_platform": {"linkspy_records"},
                 "linkspy_subsystems": {"linkspy_platform", "linkspy_records"}}
        for library, linked in links:
            if library in below:
                named = set(re.findall(r"linkspy_\w+", linked))
                self.assertLessEqual(named, below[library], library)

    def test_the_build_compiles_the_folders_the_page_names(self):
        with open(os.path.join(SOURCE, "cmake", "product_folders.cmake"), encoding="utf-8") as f:
            lists = re.findall(r"^set\(LINKSPY_\w+_FOLDERS?((?:\s+[a-z0-9_/]+)+)\)", f.read(),
                               re.M)
        built = {folder for names in lists for folder in names.split()}
        compiled = {folder for folder in include_order.layers(SOURCE)
                    if any(name.endswith(".cpp")
                           for name in os.listdir(os.path.join(SOURCE, folder)))}
        self.assertEqual(built, compiled)

    def test_planted_faults_are_each_named(self):
        with product_copy(SOURCE, "linkspy-includes-") as copy:
            plant(copy, "capi/records/vendor_messages.cpp", '#include "control/main_sequence.h"')
            plant(copy, "output/print.cpp", '#include "platform/linux/cp437.h"')
            plant(copy, "console/banner.cpp", '#include "console/missing.h"')
            os.makedirs(os.path.join(copy, "output", "extra"))
            plant(copy, "output/extra/new.h", "#pragma once")
            # Includes that run downward stay allowed.
            plant(copy, "console/banner.h", '#include "output/print.h"')
            found = include_order.violations(copy)
        self.assertEqual(len(found), 4, found)
        joined = "\n".join(found)
        self.assertIn("includes control/main_sequence.h: control/ (layer 1) is not below "
                      "capi/records/ (layer 8)", joined)
        self.assertIn("only platform/linux/ itself includes its headers", joined)
        self.assertIn("console/missing.h, which is no file of the product", joined)
        self.assertIn("folder output/extra/ stands in no layer", joined)


if __name__ == "__main__":
    unittest.main()
