import tempfile
import unittest
from pathlib import Path

import mutation_check as mc


class Table(unittest.TestCase):
    def test_fields_keep_all_but_one_space_of_each_side_and_line_feeds(self):
        [m] = mc.parse_table("# a comment ~~ with separators\n\n"
                             "an-id ~~ src/a.cpp ~~ A|B ~~   if (x)<NL>  y; ~~ ~~ it breaks\n")
        self.assertEqual(m, mc.Mutation("an-id", "src/a.cpp", "A|B", "  if (x)\n  y;", "", "it breaks"))

    def test_a_line_without_six_fields_is_refused(self):
        for line in ("a ~~ b ~~ c ~~ d ~~ e", "a ~~ b ~~ c ~~ d ~~ e ~~ f ~~ g"):
            with self.subTest(line=line), self.assertRaisesRegex(mc.Refusal, "fields, not 6"):
                mc.parse_table(line)

    def test_selection_names_each_mutation_or_is_all(self):
        table = mc.parse_table("a ~~ f ~~ . ~~ x ~~ y ~~ d\nb ~~ f ~~ . ~~ x ~~ y ~~ d\n")
        self.assertEqual([m.id for m in mc.select(table, "")], ["a", "b"])
        self.assertEqual([m.id for m in mc.select(table, " b  a ")], ["b", "a"])
        with self.assertRaisesRegex(mc.Refusal, "no mutation named c"):
            mc.select(table, "a c")

    def test_each_text_must_name_one_place_in_an_existing_file(self):
        with tempfile.TemporaryDirectory() as source:
            Path(source, "f.cpp").write_text("once twice twice\n")
            table = mc.parse_table("one ~~ f.cpp ~~ . ~~ once ~~ - ~~ d\n"
                                   "two ~~ f.cpp ~~ . ~~ twice ~~ - ~~ d\n"
                                   "none ~~ f.cpp ~~ . ~~ never ~~ - ~~ d\n"
                                   "one ~~ gone.cpp ~~ . ~~ once ~~ - ~~ d\n")
            self.assertEqual(mc.table_problems(table, source), [
                "two: the text occurs 2 times in f.cpp, not once: twice",
                "none: the text occurs 0 times in f.cpp, not once: never",
                "duplicate id one",
                "one: no file gone.cpp",
            ])


class Report(unittest.TestCase):
    def test_first_failures_are_the_first_two_names_ctest_lists(self):
        log = ("  3/9 Test  #3: A.B ........***Failed    0.1 sec\n"
               "67% tests passed, 3 tests failed out of 9\n\n"
               "The following tests FAILED:\n"
               "\t  3 - A.B (Failed)\n\t  5 - Sweep/C.D/0 (Timeout)\n\t  8 - E.F (Failed)\n"
               "Errors while running CTest\n")
        self.assertEqual(mc.first_failures(log), "A.B,Sweep/C.D/0")
        self.assertEqual(mc.first_failures("100% tests passed\n"), "")

    def test_row_columns(self):
        self.assertEqual(mc.row("rule-owner", "caught", 7, "a file of another owner is accepted", "A.B"),
                         "rule-owner                 caught          7s  "
                         "a file of another owner is accepted                A.B")


if __name__ == "__main__":
    unittest.main()
