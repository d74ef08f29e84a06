"""Predictions for new rows and the single-patient calls against the fit and the command."""

import os
import subprocess
import tempfile
import unittest

import pandas

import tessuvan

EXAMPLES = os.environ.get("TESSUVAN_EXAMPLES", os.path.join(os.path.dirname(__file__), "../../../examples"))
COMMAND = os.environ.get("TESSUVAN_COMMAND", "tessuvan")
FOCEI = os.path.join(EXAMPLES, "theophylline", "theophylline_focei.toml")
DATA = os.path.join(EXAMPLES, "theophylline", "theophylline.csv")
VANCOMYCIN = os.path.join(EXAMPLES, "vancomycin", "vancomycin.toml")
PATIENT = os.path.join(EXAMPLES, "vancomycin", "patient_peak_trough.csv")
DOSE = dict(interval=12, doses=4, start=48, infusion=1.5, target="auc24=400..600", round=250)


class Patients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fit = tessuvan.fit(FOCEI, DATA)
        cls.folder = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def command(self, *arguments):
        out = os.path.join(self.folder.name, arguments[0])
        subprocess.run([COMMAND, *arguments, "-o", out, "--quiet"], check=True, stdout=subprocess.DEVNULL)
        return out

    def test_predict_gives_the_fit_s_predictions_and_eta_0_for_a_new_id(self):
        own = self.fit.predict(DATA).set_index("LINE")
        seen = self.fit.predictions.set_index("LINE")
        self.assertTrue(own["FITTED_ETA"].all())
        for column in ("PRED", "IPRED"):
            pandas.testing.assert_series_equal(own.loc[seen.index, column], seen[column], rtol=1e-6)
        data = pandas.read_csv(DATA, na_values=".")
        new = data[data.ID == 1].assign(ID=99)
        rows = self.fit.predict(new)
        self.assertFalse(rows["FITTED_ETA"].any())
        self.assertEqual(list(rows["IPRED"]), list(rows["PRED"]))
        with self.assertRaises(tessuvan.InputError):
            self.fit.predict("ID,TIME\n1,x\n")
        pooled = tessuvan.fit(os.path.join(EXAMPLES, "theophylline", "theophylline.toml"), DATA)
        own = pooled.predict(DATA).set_index("LINE")
        seen = pooled.predictions.set_index("LINE")
        pandas.testing.assert_series_equal(own.loc[seen.index, "IPRED"], seen["IPRED"], rtol=1e-6)

    def test_map_and_dose_write_the_command_s_tables(self):
        out = self.command("map", VANCOMYCIN, PATIENT)
        forecast = tessuvan.map(VANCOMYCIN, PATIENT)
        with open(os.path.join(out, "forecast.csv"), "rb") as file:
            self.assertEqual(forecast._files["forecast.csv"], file.read())
        flags = [f"--{key}={value}" for key, value in DOSE.items()]
        out = self.command("dose", VANCOMYCIN, PATIENT, *flags)
        dose = tessuvan.dose(VANCOMYCIN, PATIENT, **DOSE)
        with open(os.path.join(out, "forecast.csv"), "rb") as file:
            self.assertEqual(dose._files["forecast.csv"], file.read())
        self.assertEqual(dose.dose["amount"] % 250, 0)

    def test_map_of_a_fit_s_individual_returns_its_etas(self):
        third = tessuvan.map(self.fit, DATA, id=3)
        etas = self.fit.individuals.set_index("ID").loc[3]
        for name, value in third.eta.items():
            self.assertAlmostEqual(value, etas["ETA_" + name], delta=1e-5 * max(1, abs(value)))
        with self.assertRaises(tessuvan.UsageError):
            tessuvan.map(self.fit, DATA)


if __name__ == "__main__":
    unittest.main()
