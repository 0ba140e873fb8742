"""A product header declares only what another file of the product uses."""

import os
import unittest

import public_declarations
from product_copy import plant, product_copy

SOURCE = os.environ.get("LINKSPY_SOURCE",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


class PublicDeclarations(unittest.TestCase):
    def test_every_public_declaration_is_used_by_another_file(self):
        self.assertEqual(public_declarations.violations(SOURCE), [])

    def test_each_kind_of_declaration_is_found(self):
        text = """
            namespace outer {
            // Not(a, declaration);
            constexpr int kSize = 4;
            struct Record { int field; void (*hook)(int); };
            enum class Mode { kOne, kTwo };
            using Handler = void (*)(int);
            static_assert(kSize == 4);
            extern Record record;
            extern const char Table[kSize][kSize];
            extern void (*onEvent)(int value);
            int Plain(int a, const char* b);
            void Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
            inline int Inline(int a) { return a + kSize; }
            namespace inner { uint8_t Nested(); }
            }  // namespace outer
            """
        self.assertEqual(public_declarations.declarations(text),
                         ["record", "Table", "onEvent", "Plain", "Formatted", "Inline", "Nested"])

    def test_planted_faults_are_each_named(self):
        with product_copy(SOURCE, "linkspy-declarations-") as copy:
            # Used by its own .cpp only; by nothing at all; a seam function only a platform
            # defines; an internal header included from another file.
            plant(copy, "output/print.h", "namespace output { void OnlyPrintUses(); }")
            plant(copy, "output/print.cpp", "namespace output { void OnlyPrintUses() {} }")
            plant(copy, "console/banner.h", "namespace console { extern int unusedCount; }")
            plant(copy, "platform/thread.h", "namespace platform { void OnlyThreadsDefine(); }")
            plant(copy, "platform/linux/thread.cpp", "void platform::OnlyThreadsDefine() {}")
            plant(copy, "console/prompt.cpp", '#include "adapter/decoders_internal.h"')
            # Still allowed: a use from another file, a use by another declaration of the header,
            # an internal header included by its own .cpp, a name only a comment mentions.
            plant(copy, "output/trace_screen.h", "namespace output { void UsedByPrompt(); }")
            plant(copy, "console/prompt.cpp", "void Caller() { output::UsedByPrompt(); }")
            plant(copy, "output/print.h", "namespace output { extern const char kTable[4]; "
                                    "inline char First() { return kTable[0]; } }")
            plant(copy, "console/prompt.cpp", "char Other() { return output::First(); }")
            plant(copy, "output/adapter_text.h", "namespace output { void OnlyNamedInAComment(); }")
            plant(copy, "output/log_writer.cpp", "// OnlyNamedInAComment")
            found = public_declarations.violations(copy)
        joined = "\n".join(found)
        self.assertIn("output/print.h: OnlyPrintUses is public, but no other file", joined)
        self.assertIn("console/banner.h: unusedCount is public", joined)
        self.assertIn("platform/thread.h: OnlyThreadsDefine is public", joined)
        self.assertIn("console/prompt.cpp: includes adapter/decoders_internal.h, which only "
                      "adapter/decoders.cpp and tests may include", joined)
        self.assertIn("output/adapter_text.h: OnlyNamedInAComment is public", joined)
        self.assertEqual(len(found), 5, found)


if __name__ == "__main__":
    unittest.main()
