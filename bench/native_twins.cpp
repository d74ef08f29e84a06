#include "native_twins.h"

#include <cmath>

namespace tessuvan_bench {

namespace {

// The one-compartment oral model, written by hand: dx/dt = A·x with
// A = [[-ka, 0], [ka, -ke]] and no free term.
struct OralSystem {
    double ka;
    double ke;

    void Derivative(const double x[2], double dx[2]) const
    {
        dx[0] = -ka * x[0];
        dx[1] = ka * x[0] - ke * x[1];
    }
    double Diagonal(int i) const { return i == 0 ? -ka : -ke; }
};

// One classic step: k = h·f at the four stages, y += (k1 + 2k2 + 2k3 + k4)/6.
inline void RungeKutta4Step(const OralSystem& system, double h, double y[2])
{
    double k1[2], k2[2], k3[2], k4[2], trial[2];
    system.Derivative(y, k1);
    for (int i = 0; i < 2; ++i) k1[i] = h * k1[i];
    for (int i = 0; i < 2; ++i) trial[i] = y[i] + k1[i] * 0.5;
    system.Derivative(trial, k2);
    for (int i = 0; i < 2; ++i) k2[i] = h * k2[i];
    for (int i = 0; i < 2; ++i) trial[i] = y[i] + k2[i] * 0.5;
    system.Derivative(trial, k3);
    for (int i = 0; i < 2; ++i) k3[i] = h * k3[i];
    for (int i = 0; i < 2; ++i) trial[i] = y[i] + k3[i];
    system.Derivative(trial, k4);
    for (int i = 0; i < 2; ++i) k4[i] = h * k4[i];
    for (int i = 0; i < 2; ++i) y[i] = y[i] + (k1[i] + k2[i] * 2 + k3[i] * 2 + k4[i]) / 6;
}

// Fixed steps of (t1 - t0)·√tol, the last one cut to end at t1.
void IntegrateRungeKutta4(const OralSystem& system, double t0, double t1, double tol, double y[2])
{
    double h = (t1 - t0) * std::sqrt(tol);
    double t = t0;
    while (t < t1) {
        if (t + h > t1) h = t1 - t;
        if (!(t + h > t)) {
            RungeKutta4Step(system, t1 - t, y);
            break;
        }
        RungeKutta4Step(system, h, y);
        t = t + h;
    }
}

// The exponential method: A is frozen at the start of each step (here it is constant), the
// diagonal is integrated exactly through the weights r and s, the remainder of the true
// right-hand side against the frozen one is sampled at τ = h/10 and at h.
void IntegrateChuBerman(const OralSystem& system, double t0, double t1, double tol, double y[2])
{
    const double L = (t1 - t0) / 3;
    double h = (t1 - t0) * std::sqrt(tol);
    double errorScale = 0;
    double t = t0;
    double Y[2] = {y[0], y[1]};
    do {
        double D[2], AD[2];
        system.Derivative(Y, D);
        system.Derivative(D, AD);
        h = h * 4 * std::fabs(tol - errorScale) / tol;
        if (h > 2 * L) h = 2 * L;
        if (t + h / 2 > t1) h = 2 * (t1 - t);
        double Yf[2];
        for (;;) {
            errorScale = 0;
            h = h / 2;
            const double tau = 0.1 * h;
            double r[2], s[2];
            for (int i = 0; i < 2; ++i) {
                const double a = system.Diagonal(i);
                if (std::fabs(a) < 1e-7 || std::fabs(a * h) < 1e-7) {
                    const double q = h;
                    r[i] = q * h / 2;
                    s[i] = r[i] * h / 3;
                } else {
                    const double q = (std::exp(a * h) - 1) / a;
                    r[i] = (q - h) / a;
                    s[i] = (r[i] - h * h * 0.5) / a;
                }
            }
            // Remainder A(t, X)·X - A0·X at the trial point after τ (the model has no free term).
            double Ytau[2], Rtau[2], AX[2], A0X[2];
            for (int i = 0; i < 2; ++i) Ytau[i] = Y[i] + tau * D[i];
            system.Derivative(Ytau, AX);
            system.Derivative(Ytau, A0X);
            for (int i = 0; i < 2; ++i) Rtau[i] = AX[i] - A0X[i];
            double W[2], Yn[2];
            for (int i = 0; i < 2; ++i) {
                const double Yp = Y[i] + h * D[i];
                W[i] = r[i] * (AD[i] + Rtau[i] / tau);
                Yn[i] = Yp + W[i];
            }
            double R1[2], AW[2];
            system.Derivative(Yn, AX);
            system.Derivative(Yn, A0X);
            for (int i = 0; i < 2; ++i) R1[i] = AX[i] - A0X[i];
            system.Derivative(W, AW);
            for (int i = 0; i < 2; ++i) {
                const double C = R1[i] - Rtau[i] / 0.1 + AW[i] - system.Diagonal(i) * W[i];
                Yf[i] = Yn[i] + s[i] * C / (h * h);
                if (std::fabs(Yf[i]) > 1e-130) errorScale = errorScale + std::fabs(h * C / Yf[i]);
            }
            if (tol > errorScale || h < 1e-130) break;
        }
        t = t + h;
        Y[0] = Yf[0];
        Y[1] = Yf[1];
    } while (t < t1 && h >= 1e-130);
    y[0] = Y[0];
    y[1] = Y[1];
}

// One individual from its dose through its points, predictions F2/V at every point.
void SimulateOne(TwinMethod method, const OralSystem& system, double V, const std::vector<float>& times,
                 double tol, double* predictions)
{
    double y[2] = {kDose, 0};
    predictions[0] = y[1] / V;
    for (size_t k = 1; k < times.size(); ++k) {
        const double t0 = times[k - 1], t1 = times[k];
        if (method == TwinMethod::RungeKutta4)
            IntegrateRungeKutta4(system, t0, t1, tol, y);
        else
            IntegrateChuBerman(system, t0, t1, tol, y);
        predictions[k] = y[1] / V;
    }
}

}  // namespace

void SizeTwinPredictions(const Population& population, TwinPredictions& predictions)
{
    const size_t records = population.individuals.size() * population.times.size();
    predictions.population.assign(records, 0);
    predictions.individual.assign(records, 0);
}

void RunNativeTwin(TwinMethod method, const Population& population, float precision, TwinPredictions& predictions)
{
    const double tol = precision;
    const size_t points = population.times.size();
    const OralSystem typical{population.typical.ka, population.typical.ke};
    for (size_t i = 0; i < population.individuals.size(); ++i)
        SimulateOne(method, typical, population.typical.V, population.times, tol,
                    &predictions.population[i * points]);
    for (size_t i = 0; i < population.individuals.size(); ++i) {
        const IndividualValues& v = population.individuals[i];
        SimulateOne(method, OralSystem{v.ka, v.ke}, v.V, population.times, tol, &predictions.individual[i * points]);
    }
}

}  // namespace tessuvan_bench
