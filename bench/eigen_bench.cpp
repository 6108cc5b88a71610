// The Jacobi eigen-decomposition of the fit (TMatrix::EigenDecompose, the cyclic method) on
// correlation matrices of 3 to 242 bands, against NumPy's symmetric eigen-decomposition
// (LAPACK) of the same matrix in the same run: how far the cyclic method carries as band
// counts grow to those of hyperspectral cubes (224 for AVIRIS, 242 for Hyperion). Beside it,
// the Householder and implicit QL decomposition the fit takes above 16 bands (SymmetricEigen).
#include "library/Startup.h"
#include "math/FloatMap.h"
#include "math/SymmetricEigen.h"
#include "platform/Process.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// A correlation matrix of n bands as a hyperspectral cube gives: neighbouring bands strongly
// correlated, falling off with their distance, plus noise.
std::vector<double> CorrelationMatrix(int n, std::mt19937& random) {
    std::normal_distribution<double> g(0, 1);
    const int samples = 4 * n;
    std::vector<double> x(static_cast<size_t>(samples * n));
    for (int s = 0; s < samples; ++s) {
        double walk = g(random);
        for (int b = 0; b < n; ++b) {
            walk = 0.97 * walk + 0.25 * g(random);
            x[static_cast<size_t>(s * n + b)] = walk;
        }
    }
    std::vector<double> c(static_cast<size_t>(n * n));
    std::vector<double> mean(static_cast<size_t>(n)), sd(static_cast<size_t>(n));
    for (int b = 0; b < n; ++b) {
        double m = 0, v = 0;
        for (int s = 0; s < samples; ++s)
            m += x[static_cast<size_t>(s * n + b)];
        m /= samples;
        for (int s = 0; s < samples; ++s)
            v += std::pow(x[static_cast<size_t>(s * n + b)] - m, 2);
        mean[static_cast<size_t>(b)] = m;
        sd[static_cast<size_t>(b)] = std::sqrt(v / samples);
    }
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) {
            double v = 0;
            for (int s = 0; s < samples; ++s)
                v += (x[static_cast<size_t>(s * n + a)] - mean[static_cast<size_t>(a)]) *
                     (x[static_cast<size_t>(s * n + b)] - mean[static_cast<size_t>(b)]);
            c[static_cast<size_t>(a * n + b)] =
                v / samples / (sd[static_cast<size_t>(a)] * sd[static_cast<size_t>(b)]);
        }
    return c;
}

template <class TWork> double BestSeconds(int repeats, const TWork& work) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vt::TLibraryScope library;
    std::mt19937 random(7);
    std::printf("%6s | %12s %12s %12s | %9s %9s | %9s %9s %9s\n", "bands", "Jacobi s", "QL s",
                "NumPy s", "J/NumPy", "QL/NumPy", "rotations", "J resid", "QL resid");
    const std::vector<int> sizes =
        quick ? std::vector<int>{3, 16, 64} : std::vector<int>{3, 16, 64, 128, 224, 242};
    for (const int n : sizes) {
        const std::vector<double> c = CorrelationMatrix(n, random);
        vt::TMatrix m(n, n);
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b)
                m.SetElement(a + 1, b + 1, c[static_cast<size_t>(a * n + b)]);
        const int repeats = n <= 64 ? 20 : 3;
        vt::TMatrix vectors(n, n), values(n, 1);
        int32_t rotations = 0;
        const double jacobi =
            BestSeconds(repeats, [&] { rotations = m.EigenDecompose(vectors, values); });
        // How well the decomposition holds: the largest |C v - lambda v| over the vectors.
        double residual = 0;
        for (int k = 1; k <= n; ++k)
            for (int a = 1; a <= n; ++a) {
                double cv = 0;
                for (int b = 1; b <= n; ++b)
                    cv += c[static_cast<size_t>((a - 1) * n + b - 1)] * vectors.GetElement(b, k);
                residual = std::max(
                    residual, std::fabs(cv - values.GetElement(k, 1) * vectors.GetElement(a, k)));
            }
        std::vector<double> qlVectors(static_cast<size_t>(n * n)), qlValues(static_cast<size_t>(n));
        const double ql = BestSeconds(
            repeats, [&] { vt::SymmetricEigen(c.data(), n, qlVectors.data(), qlValues.data()); });
        double qlResidual = 0;
        for (int k = 0; k < n; ++k)
            for (int a = 0; a < n; ++a) {
                double cv = 0;
                for (int b = 0; b < n; ++b)
                    cv += c[static_cast<size_t>(a * n + b)] *
                          qlVectors[static_cast<size_t>(b * n + k)];
                qlResidual = std::max(
                    qlResidual, std::fabs(cv - qlValues[static_cast<size_t>(k)] *
                                                   qlVectors[static_cast<size_t>(a * n + k)]));
            }
        // The peer on the same matrix, read from a file by the script.
        const std::string path = "/tmp/vt_eigen_bench_" + std::to_string(n) + ".raw";
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(c.data(), sizeof(double), c.size(), f);
            std::fclose(f);
        }
        std::string output;
        const std::string command = "/usr/bin/python3 " + std::string(VT_BENCH_DIR) +
                                    "/numpy_eigh.py " + path + " " + std::to_string(n) + " " +
                                    std::to_string(repeats) + " 2>/dev/null";
        const double numpy =
            vt::platform::RunCommand(command, &output) == 0 ? std::atof(output.c_str()) : -1;
        std::remove(path.c_str());
        std::printf("%6d | %12.6f %12.6f %12.6f | %8.1fx %8.2fx | %9d %9.1e %9.1e\n", n, jacobi, ql,
                    numpy, numpy > 0 ? jacobi / numpy : 0.0, numpy > 0 ? ql / numpy : 0.0,
                    rotations, residual, qlResidual);
    }
    std::printf("\nJ/NumPy, QL/NumPy: how many times longer the cyclic Jacobi method and the "
                "Householder-QL method take than LAPACK's symmetric solver through NumPy on the "
                "same matrix; resid: the largest |C v - lambda v|.\n");
    return 0;
}
