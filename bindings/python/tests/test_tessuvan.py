"""The Python module against the command: the same numbers on the same model and data."""

import json
import math
import os
import signal
import subprocess
import tempfile
import threading
import unittest
from unittest import mock

import tessuvan

EXAMPLES = os.environ.get("TESSUVAN_EXAMPLES", os.path.join(os.path.dirname(__file__), "../../../examples"))
COMMAND = os.environ.get("TESSUVAN_COMMAND", "tessuvan")
THEOPHYLLINE = os.path.join(EXAMPLES, "theophylline")
FOCEI = os.path.join(THEOPHYLLINE, "theophylline_focei.toml")
POOLED = os.path.join(THEOPHYLLINE, "theophylline.toml")
DATA = os.path.join(THEOPHYLLINE, "theophylline.csv")


def printed(value):
    """A number as results.json prints it (10 significant digits)."""
    return f"{value:.10g}"


class FoceiFitEqualsTheCommand(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        out = os.path.join(cls.folder.name, "fit")
        subprocess.run([COMMAND, "fit", FOCEI, DATA, "-o", out, "--quiet"], check=True)
        with open(os.path.join(out, "results.json")) as file:
            cls.command = json.load(file)
        with open(os.path.join(out, "predictions.csv"), "rb") as file:
            cls.command_predictions = file.read()
        vpc = os.path.join(cls.folder.name, "vpc")
        subprocess.run([COMMAND, "vpc", out, "--replicates", "20", "--seed", "7", "-o", vpc], check=True,
                       stdout=subprocess.DEVNULL)
        cls.command_vpc = os.path.join(vpc, "vpc.csv")
        replicates = os.path.join(cls.folder.name, "replicates")
        subprocess.run([COMMAND, "simulate", FOCEI, DATA, "--replicates", "3", "--seed", "5", "--from", out, "-o",
                        replicates, "--quiet"], check=True, stdout=subprocess.DEVNULL)
        cls.command_replicates = os.path.join(replicates, "simulations.csv")
        cls.fit = tessuvan.fit(FOCEI, DATA)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_estimates_and_minus_2ll_equal_results_json_to_the_last_printed_digit(self):
        self.assertEqual(printed(self.fit.minus2ll), printed(self.command["minus_2ll"]))
        self.assertEqual(printed(self.fit.aic), printed(self.command["aic"]))
        compared = 0
        for p in self.fit.parameters:
            written = self.command[p["kind"]][p["name"]]
            self.assertEqual(printed(p["value"]), printed(written["variance" if p["kind"] == "omega" else "value"]))
            if written["se"] is None:  # a variance held at its bound: no standard error
                self.assertFalse(math.isfinite(p["se"]), p["label"])
            else:
                self.assertEqual(printed(p["se"]), printed(written["se"]), p["label"])
            compared += 1
        self.assertEqual(compared, 7)  # ka, ke, CL, their three ω², the additive σ

    def test_tables_are_the_files_the_command_writes(self):
        self.assertEqual(self.fit._files["predictions.csv"], self.command_predictions)
        self.assertEqual(self.fit.results["theta"], self.command["theta"])
        self.assertEqual(len(self.fit.predictions), 120)
        self.assertIn("CWRES", list(self.fit.predictions.columns))

    def test_vpc_is_the_one_the_command_makes_of_the_fit_folder(self):
        import pandas

        table = self.fit.vpc(replicates=20, seed=7)
        pandas.testing.assert_frame_equal(table, pandas.read_csv(self.command_vpc))
        with self.assertRaises(tessuvan.UsageError):
            self.fit.vpc(replicates=0)

    def test_replicates_are_the_ones_the_command_simulates_from_the_fit(self):
        import pandas

        table = self.fit.simulate(3, seed=5)
        pandas.testing.assert_frame_equal(table, pandas.read_csv(self.command_replicates))

    def test_covariance_is_symmetric_with_the_squared_standard_errors_on_its_diagonal(self):
        names, matrix = self.fit.covariance["names"], self.fit.covariance["matrix"]
        se = {p["label"]: p["se"] for p in self.fit.parameters}
        for a, name in enumerate(names):
            self.assertAlmostEqual(matrix[a][a], se[name] ** 2, delta=1e-12 * se[name] ** 2)
            for b in range(a):
                self.assertEqual(matrix[a][b], matrix[b][a])


class Inputs(unittest.TestCase):
    def test_a_text_model_and_a_data_frame_fit_as_the_files_do(self):
        import pandas

        with open(POOLED) as file:
            text = file.read()
        from_files = tessuvan.fit(POOLED, DATA)
        from_memory = tessuvan.fit(text, pandas.read_csv(DATA, na_values=["."]))
        self.assertEqual(from_memory.estimation, "pooled")
        self.assertEqual(from_memory._files["population.csv"], from_files._files["population.csv"])
        self.assertEqual(from_memory._files["predictions.csv"], from_files._files["predictions.csv"])

    def test_options_set_keys_of_the_fit_table_and_meet_its_checks(self):
        fit = tessuvan.fit(POOLED, DATA, method="RUNGE-KUTTA 4", population_iterations=20)
        self.assertIn("method RUNGE-KUTTA 4", fit.report)
        self.assertEqual(list(fit.population["parameter"]), ["ka", "ke", "V", "CL"])  # as written
        with self.assertRaises(tessuvan.InputError) as caught:
            tessuvan.fit(POOLED, DATA, nonsense=1)
        self.assertIn("fit.nonsense: unknown key", str(caught.exception))
        with self.assertRaises(tessuvan.InputError) as caught:
            tessuvan.fit(FOCEI, DATA, estimation="pooled")
        self.assertIn("fit.estimation", str(caught.exception))
        with self.assertRaises(tessuvan.UsageError):
            tessuvan.fit(POOLED, DATA, **{"method = 1\n[parameters]\nx": 1})

    def test_without_pandas_the_tables_are_lists_of_dicts(self):
        with mock.patch.object(tessuvan, "_pandas", None):
            rows = tessuvan.simulate(POOLED, DATA).predictions
        self.assertIsInstance(rows, list)
        self.assertEqual(rows[0]["ID"], 1)
        self.assertIsInstance(rows[0]["PRED"], float)


class Failures(unittest.TestCase):
    def test_a_missing_file_is_an_input_error_naming_it(self):
        with self.assertRaises(tessuvan.InputError) as caught:
            tessuvan.fit(os.path.join(THEOPHYLLINE, "no-such.toml"), DATA)
        self.assertTrue(str(caught.exception).startswith("tessuvan: "))
        self.assertIn("no-such.toml", str(caught.exception))
        self.assertIsInstance(caught.exception, ValueError)

    def test_a_wrong_key_in_a_model_text_is_an_input_error_naming_the_key(self):
        with open(POOLED) as file:
            text = file.read().replace("[outputs]", "[outputz]")
        with self.assertRaises(tessuvan.InputError) as caught:
            tessuvan.fit(text, DATA)
        self.assertIn("outputz", str(caught.exception))

    def test_ctrl_c_ends_a_fit_as_keyboard_interrupt_and_python_goes_on(self):
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with self.assertRaises(KeyboardInterrupt):
            tessuvan.fit(FOCEI, DATA)
        timer.join()
        self.assertEqual(tessuvan.fit(POOLED, DATA).estimation, "pooled")

    def test_a_data_argument_of_another_type_is_a_type_error(self):
        with self.assertRaises(TypeError):
            tessuvan.fit(POOLED, 42)


if __name__ == "__main__":
    unittest.main()
