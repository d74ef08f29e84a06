"""Tessuvan's fits and simulations from Python.

    import tessuvan
    fit = tessuvan.fit("theophylline_focei.toml", "theophylline.csv")
    print(fit.summary())
    fit.estimates            # {"ka": 1.58, ..., "omega(ka)": 0.41, ..., "sigma(additive)": 0.69}
    fit.minus2ll, fit.aic, fit.bic
    fit.predictions          # per observation: ID, TIME, DV, PRED, IPRED, IWRES, CWRES, ...
    fit.predict(new_rows)    # PRED and IPRED of rows the fit did not see
    tessuvan.map(fit, "patient.csv").forecast    # one patient's Bayesian forecast

The model is a model file's path or its TOML text (a string with a line break); the data set a
CSV file's path, its text, or a pandas DataFrame. Tables are pandas DataFrames where pandas is
installed, lists of dicts otherwise. Failures raise tessuvan.Error's kinds (UsageError,
InputError, EngineError, WriteError) with the toolkit's message; Ctrl-C raises
KeyboardInterrupt at the fit's next report.
"""

import csv
import io
import json
import math
import os

from . import _tessuvan
from ._tessuvan import EngineError, Error, InputError, UsageError, WriteError

try:
    import pandas as _pandas
except ImportError:  # the tables are then lists of dicts
    _pandas = None

__all__ = ["fit", "simulate", "map", "dose", "Fit", "Simulation", "Forecast", "Error", "UsageError", "InputError", "EngineError",
           "WriteError"]


def _source(value, what):
    """(path or text, is_text) of a model or data argument."""
    if isinstance(value, os.PathLike):
        return os.fspath(value), False
    if isinstance(value, str):
        return value, "\n" in value
    if what == "data" and _pandas is not None and isinstance(value, _pandas.DataFrame):
        return value.to_csv(index=False, na_rep="."), True
    kinds = "a path, a CSV text or a pandas DataFrame" if what == "data" else "a path or a TOML text"
    raise TypeError(f"tessuvan: {what} must be {kinds}, not {type(value).__name__}")


def _number(text):
    if text in ("", "."):
        return None
    try:
        return int(text)
    except ValueError:
        try:
            return float(text)
        except ValueError:
            return text


def _table(content):
    """A CSV file of the results as a DataFrame (pandas) or a list of dicts."""
    if _pandas is not None:
        return _pandas.read_csv(io.BytesIO(content), na_values=["."], keep_default_na=True)
    reader = csv.DictReader(io.StringIO(content.decode("utf-8")))
    return [{key: _number(value) for key, value in row.items()} for row in reader]


class _Run:
    def __init__(self, raw):
        self._files = raw["files"]
        self.report = raw["report"]
        self._tables = {}

    @property
    def tables(self):
        """Every table by name ("predictions", "individuals", "population", "curves")."""
        return {name[:-4]: self._table(name[:-4]) for name in self._files if name.endswith(".csv")}

    def _table(self, name):
        if name not in self._tables:  # each read when first used
            self._tables[name] = _table(self._files[name + ".csv"])
        return self._tables[name]

    def __getattr__(self, name):  # fit.predictions, fit.individuals, fit.population, fit.curves
        if name.startswith("_") or name + ".csv" not in self.__dict__.get("_files", {}):
            raise AttributeError(name)
        return self._table(name)

    def summary(self):
        """The text report (report.txt of the command's results folder)."""
        return self.report


class Fit(_Run):
    """A fit: pooled, or a population estimation by FOCEI (estimation == "focei")."""

    def __init__(self, raw):
        super().__init__(raw)
        self.estimation = raw["estimation"]
        self.seconds = raw["seconds"]
        self.n_individuals = raw["n_individuals"]
        self.results = json.loads(self._files["results.json"]) if "results.json" in self._files else None
        focei = raw.get("focei")
        self.parameters = []
        self.estimates = {}
        self.covariance = None
        self.minus2ll = self.aic = self.bic = None
        self.converged = None
        if focei:
            self.minus2ll, self.aic, self.bic = focei["minus_2ll"], focei["aic"], focei["bic"]
            self.converged, self.message = focei["converged"], focei["message"]
            self.n_observations, self.n_estimated = focei["n_observations"], focei["n_estimated"]
            for p in focei["parameters"]:
                p = dict(p)
                finite = math.isfinite(p["se"]) and p["value"] != 0
                p["rse"] = 100 * p["se"] / p["value"] if finite else None
                self.parameters.append(p)
                self.estimates[p["label"]] = p["value"]
            if focei["covariance"]:
                self.covariance = {"names": focei["covariance_names"], "matrix": focei["covariance"]}
            self.covariance_message = focei["covariance_message"]

    def vpc(self, replicates=200, seed=1, bins=0, threads=0, quiet=True):
        """A visual predictive check of this FOCEI fit, as `tessuvan vpc` makes it of the fit's
        folder: the table of vpc.csv (per output, plain and prediction-corrected, bin by bin, the
        observed 5th, 50th and 95th percentiles and the simulated ones' 90 % intervals). bins: 0
        the default rule; threads: 0 every processor (at most 8)."""
        if self.results is None:
            raise UsageError("tessuvan: vpc needs a FOCEI fit (fit.estimation = \"focei\")")
        model, model_text, data, data_text, options = self._inputs
        table = _tessuvan.vpc(self._files["results.json"].decode("utf-8"), model, model_text, data, data_text,
                              options, replicates, seed, bins, threads, quiet)
        return _table(table)

    def simulate(self, replicates, seed=1, threads=0, quiet=True):
        """Replicates of the data set's design with this FOCEI fit's θ, Ω and σ, as
        `tessuvan simulate MODEL DATA --replicates N --seed S --from FIT` makes them: the table of
        simulations.csv (REP, ID, TIME, OUTPUT, IPRED, DV, ETA_<name>)."""
        if self.results is None:
            raise UsageError("tessuvan: simulate needs a FOCEI fit (fit.estimation = \"focei\")")
        model, model_text, data, data_text, options = self._inputs
        table = _tessuvan.replicates(self._files["results.json"].decode("utf-8"), model, model_text, data,
                                     data_text, options, replicates, seed, threads, quiet)
        return _table(table)

    def predict(self, newdata, quiet=True):
        """PRED and IPRED of this fit for the rows of newdata (a path, a CSV text or a DataFrame
        in the data set's layout): each ID simulated alone, PRED at the typical values (θ, or a
        pooled fit's population values); an ID the fit holds takes its own values for IPRED (its
        ETAs), any other η = 0 (IPRED equals PRED), as the column FITTED_ETA says. Rows: ID, TIME, OUTPUT, PRED, IPRED, LINE (newdata's line),
        FITTED_ETA."""
        model, model_text, _, _, options = self._inputs
        data, data_text = _source(newdata, "data")
        typical, individual, results = [], [], ""
        if self.results is None:  # a pooled fit: population.csv's values, individuals.csv's by ID
            population = _table(self._files["population.csv"])
            rows = population.to_dict("records") if _pandas is not None else population
            names = [row["parameter"] for row in rows]
            typical = [float(row["value"]) for row in rows]
            individuals = _table(self._files["individuals.csv"])
            for row in individuals.to_dict("records") if _pandas is not None else individuals:
                individual.append((str(row["ID"]), [float(row[name]) for name in names]))
        else:
            results = self._files["results.json"].decode("utf-8")
        rows = _tessuvan.predict(results, model, model_text, options, data, data_text, quiet, typical, individual)
        columns = ["ID", "TIME", "OUTPUT", "PRED", "IPRED", "LINE", "FITTED_ETA"]
        table = [{c: (_number(v) if c == "ID" else v) for c, v in zip(columns, row)} for row in rows]
        return _pandas.DataFrame(table, columns=columns) if _pandas is not None else table

    def __repr__(self):
        if self.estimation != "focei":
            return f"<tessuvan.Fit pooled, {self.n_individuals} individuals>"
        values = ", ".join(f"{k}={v:.4g}" for k, v in self.estimates.items())
        return f"<tessuvan.Fit focei -2LL={self.minus2ll:.4f} {values}>"


class Simulation(_Run):
    """Predictions of the data set at the model's values."""

    def __repr__(self):
        return "<tessuvan.Simulation " + ", ".join(self.tables) + ">"


class Forecast(_Run):
    """One patient's Bayesian forecast (map) or dose: `results` (the results.json of the
    command), the tables `parameters`, `observations` and `forecast`, and `report`."""

    def __init__(self, raw):
        super().__init__(raw)
        self.results = json.loads(self._files["results.json"])
        self.eta = self.results["eta"]
        self.dose = self.results.get("dose")
        self.probability = self.results.get("probability_of_target")

    def __repr__(self):
        kind = "dose" if self.dose else "map"
        return f"<tessuvan.Forecast {kind} patient {self.results['id']}>"


def _prior(prior):
    """(results.json, model, model_is_text, options) of a prior: a FOCEI Fit or a model."""
    if isinstance(prior, Fit):
        if prior.results is None:
            raise UsageError("tessuvan: a prior fit must be a FOCEI fit (fit.estimation = \"focei\")")
        model, model_text, _, _, options = prior._inputs
        return prior._files["results.json"].decode("utf-8"), model, model_text, options
    model, model_text = _source(prior, "model")
    return "", model, model_text, []


def map(prior, patient, id=None, until=None, points=61, draws=200, seed=1, sir=False, quiet=True):
    """One patient's MAP parameters, levels and forecast with its 90 % intervals, as `tessuvan map
    PRIOR PATIENT` makes them. The prior is a FOCEI Fit of this session or a model (path or TOML
    text) whose parameters carry omega; the patient a path, CSV text or DataFrame."""
    results, model, model_text, options = _prior(prior)
    data, data_text = _source(patient, "data")
    return Forecast(_tessuvan.map(results, model, model_text, options, data, data_text,
                                  "" if id is None else str(id), -1 if until is None else until, points, draws,
                                  seed, sir, quiet))


def dose(prior, patient, interval, doses, start, target, infusion=0, cmt=0, steady_state=False, at=None, round=0,
         min_dose=0, max_dose=None, id=None, until=None, points=61, draws=200, seed=1, sir=False, quiet=True):
    """The amount of a regimen that reaches target ("trough=15", "peak=30", "auc24=400..600") for
    the patient, as `tessuvan dose` proposes it: Forecast.dose ({amount, unrounded, ...}) and
    Forecast.probability beside map's tables."""
    results, model, model_text, options = _prior(prior)
    data, data_text = _source(patient, "data")
    return Forecast(_tessuvan.dose(results, model, model_text, options, data, data_text,
                                   "" if id is None else str(id), -1 if until is None else until, points, draws,
                                   seed, sir, interval, doses, start, infusion, cmt, steady_state, target,
                                   -1 if at is None else at, round, min_dose, -1 if max_dose is None else max_dose,
                                   quiet))


def fit(model, data, quiet=True, **options):
    """Fits the model to the data set, as `tessuvan fit MODEL DATA` does (progress on stderr
    unless quiet). Options are keys of the model file's [fit] table, set over it:
    estimation="focei", method="RUNGE-KUTTA 4", precision=1e-8, population_iterations=50."""
    model_source, model_text = _source(model, "model")
    data_source, data_text = _source(data, "data")
    options = list(options.items())
    result = Fit(_tessuvan.fit(model_source, model_text, data_source, data_text, quiet, options))
    result._inputs = (model_source, model_text, data_source, data_text, options)
    return result


def simulate(model, data, quiet=True):
    """Predictions at the model's values, as `tessuvan simulate MODEL DATA` does."""
    model_source, model_text = _source(model, "model")
    data_source, data_text = _source(data, "data")
    return Simulation(_tessuvan.simulate(model_source, model_text, data_source, data_text, quiet))
