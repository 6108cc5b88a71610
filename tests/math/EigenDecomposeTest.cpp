// The cyclic Jacobi eigen-decomposition: worked examples, ordering of equal eigenvalues, the
// rotation count, properties of random symmetric matrices, and refusals and failures.
#include "math/FloatMap.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

using namespace vt;

namespace {

void Fill(TMatrix& m, std::initializer_list<std::initializer_list<double>> rows) {
    m.SetSize(static_cast<int32_t>(rows.size()), static_cast<int32_t>(rows.begin()->size()));
    int32_t r = 1;
    for (const auto& row : rows) {
        int32_t c = 1;
        for (double v : row)
            m.SetElement(r, c++, v);
        ++r;
    }
}

// Column k of Vectors, to six places and up to the sign the rotations happened to give it.
void ExpectColumn(const TMatrix& vectors, int32_t k, std::initializer_list<double> expected) {
    int32_t j = 1;
    double sign = 0;
    for (double e : expected) {
        const double v = vectors.GetElement(j, k);
        if (sign == 0 && std::fabs(e) > 1e-3)
            sign = (v < 0) == (e < 0) ? 1 : -1;
        EXPECT_NEAR(sign * v, e, 5e-7) << "row " << j << " of column " << k;
        ++j;
    }
}

void ExpectExactColumns(const TMatrix& vectors,
                        std::initializer_list<std::vector<double>> columns) {
    int32_t k = 1;
    for (const auto& column : columns) {
        for (int32_t j = 1; j <= vectors.Height; ++j)
            EXPECT_EQ(vectors.GetElement(j, k), column[static_cast<size_t>(j - 1)])
                << "(" << j << ", " << k << ")";
        ++k;
    }
}

} // namespace

TEST(EigenDecompose, WorkedExamples) {
    TMatrix vectors, values;

    TMatrix m;
    Fill(m, {{2, 1}, {1, 2}});
    EXPECT_EQ(m.EigenDecompose(vectors, values), 1);
    EXPECT_EQ(values.Width, 1);
    EXPECT_EQ(values.Height, 2);
    EXPECT_NEAR(values.GetElement(1, 1), 3, 1e-15);
    EXPECT_NEAR(values.GetElement(2, 1), 1, 1e-15);
    ExpectColumn(vectors, 1, {0.707107, 0.707107});
    ExpectColumn(vectors, 2, {0.707107, -0.707107});

    Fill(m, {{1, 0, 0}, {0, 3, 0}, {0, 0, 2}});
    EXPECT_EQ(m.EigenDecompose(vectors, values), 0);
    EXPECT_EQ(values.Map[0], 3);
    EXPECT_EQ(values.Map[1], 2);
    EXPECT_EQ(values.Map[2], 1);
    ExpectExactColumns(vectors, {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}});

    Fill(m, {{5}});
    EXPECT_EQ(m.EigenDecompose(vectors, values), 0);
    EXPECT_EQ(values.Map[0], 5);
    ExpectExactColumns(vectors, {{1}});
}

TEST(EigenDecompose, EqualEigenvaluesMoveTheLaterIndexForward) {
    TMatrix m(3, 3), vectors, values;
    m.Identity();
    EXPECT_EQ(m.EigenDecompose(vectors, values), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(values.Map[i], 1);
    ExpectExactColumns(vectors, {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}});
}

TEST(EigenDecompose, ReadsOnlyTheUpperTriangleAndLeavesTheInputAlone) {
    TMatrix vectors(7, 2), values(1, 5); // any previous shape is replaced
    TMatrix m;
    Fill(m, {{4, 1}, {99, 4}});
    EXPECT_EQ(m.EigenDecompose(vectors, values), 1);
    EXPECT_EQ(values.GetElement(1, 1), 5);
    EXPECT_EQ(values.GetElement(2, 1), 3);
    EXPECT_EQ(vectors.Width, 2);
    EXPECT_EQ(vectors.Height, 2);
    EXPECT_EQ(m.GetElement(2, 1), 99);
    EXPECT_EQ(m.GetElement(1, 2), 1);
}

TEST(EigenDecompose, TheThreeByThreeExampleAndItsRotationCount) {
    TMatrix m;
    Fill(m, {{1, 0.5, 0.25}, {0.5, 1, 0.5}, {0.25, 0.5, 1}});
    TMatrix vectors, values;
    // The count depends on the negligibility tests being made in Extended: it is the same on
    // every build.
    const int32_t rotations = m.EigenDecompose(vectors, values);
    std::printf("rotations of the (1, 0.5, 0.25) matrix: %d\n", static_cast<int>(rotations));
    EXPECT_EQ(rotations, 11);
    EXPECT_NEAR(values.Map[0], 1.843070, 5e-7);
    EXPECT_NEAR(values.Map[1], 0.750000, 5e-7);
    EXPECT_NEAR(values.Map[2], 0.406930, 5e-7);
    ExpectColumn(vectors, 1, {0.541774, 0.642621, 0.541774});
    ExpectColumn(vectors, 2, {-0.707107, 0, 0.707107});
    ExpectColumn(vectors, 3, {0.454401, -0.766185, 0.454401});
    // The exact bits of the eigenvalues, worked out independently in exact rational arithmetic
    // that rounds to 64-bit significands where the computation holds Extended.
    EXPECT_EQ(std::bit_cast<uint64_t>(values.Map[0]), 4610979270027733113u);
    EXPECT_EQ(std::bit_cast<uint64_t>(values.Map[1]), 4604930618986332161u);
    EXPECT_EQ(std::bit_cast<uint64_t>(values.Map[2]), 4601002213143895583u);
}

TEST(EigenDecompose, RandomSymmetricMatricesGiveOrthonormalVectorsThatReproduceThem) {
    std::mt19937 random(1234);
    std::uniform_real_distribution<double> element(-10, 10);
    for (int32_t n = 1; n <= 8; ++n)
        for (int trial = 0; trial < 20; ++trial) {
            TMatrix m(n, n), vectors, values;
            for (int32_t p = 1; p <= n; ++p)
                for (int32_t q = p; q <= n; ++q) {
                    const double v = element(random);
                    m.SetElement(p, q, v);
                    m.SetElement(q, p, v);
                }
            m.EigenDecompose(vectors, values);
            for (int32_t k = 1; k < n; ++k)
                EXPECT_GE(values.GetElement(k, 1), values.GetElement(k + 1, 1));
            for (int32_t i = 1; i <= n; ++i)
                for (int32_t k = 1; k <= n; ++k) {
                    double dot = 0, mv = 0; // column i . column k; (M v_k)_i
                    for (int32_t j = 1; j <= n; ++j) {
                        dot += vectors.GetElement(j, i) * vectors.GetElement(j, k);
                        mv += m.GetElement(i, j) * vectors.GetElement(j, k);
                    }
                    EXPECT_NEAR(dot, i == k ? 1 : 0, 1e-12);
                    EXPECT_NEAR(mv, values.GetElement(k, 1) * vectors.GetElement(i, k), 1e-10);
                }
            if (HasFailure())
                FAIL() << "order " << n << ", trial " << trial;
        }
}

TEST(EigenDecompose, TheMatrixMayBeOneOfItsOutputs) {
    TMatrix m;
    Fill(m, {{2, 1}, {1, 2}});
    TMatrix values;
    EXPECT_EQ(m.EigenDecompose(m, values), 1);
    EXPECT_NEAR(values.Map[0], 3, 1e-15);
    ExpectColumn(m, 1, {0.707107, 0.707107});

    TMatrix vectors;
    Fill(m, {{2, 1}, {1, 2}});
    EXPECT_EQ(m.EigenDecompose(vectors, m), 1);
    EXPECT_EQ(m.Width, 1);
    EXPECT_NEAR(m.Map[1], 1, 1e-15);
}

TEST(EigenDecompose, RefusesWhatItCannotDecompose) {
    TMatrix m(2, 3), vectors(1, 1), values;
    try {
        m.EigenDecompose(vectors, values);
        ADD_FAILURE() << "a 2 x 3 matrix was decomposed";
    } catch (const EFloatMap& e) {
        EXPECT_STREQ(e.what(), "Matrix is not square");
    }
    EXPECT_EQ(vectors.Width, 1); // untouched
    TMatrix square(2, 2);
    square.Identity();
    EXPECT_THROW(square.EigenDecompose(values, values), EFloatMap);
}

namespace {
int FailAt = -1;
bool FailCounted(size_t) {
    return FailAt-- == 0;
}
} // namespace

TEST(EigenDecompose, ExhaustedMemoryLeaksNothing) {
    // Make each allocation of one decomposition fail in turn; the first run that does not
    // fail has seen them all.
    TMatrix input;
    Fill(input, {{1, 0.5, 0.25}, {0.5, 1, 0.5}, {0.25, 0.5, 1}});
    for (int failing = 0;; ++failing) {
        TMatrix m;
        m.Assign(&input);
        TMatrix vectors, values;
        const long before = AllocatedBlocks();
        FailAt = failing;
        SetAllocFailHook(FailCounted);
        bool failed = false;
        try {
            m.EigenDecompose(vectors, values);
        } catch (const EOutOfMemory&) {
            failed = true;
        }
        SetAllocFailHook(nullptr);
        const long outputs = (vectors.Map ? 1 : 0) + (values.Map ? 1 : 0);
        EXPECT_EQ(AllocatedBlocks(), before + outputs) << "allocation " << failing;
        if (!failed) {
            EXPECT_GE(failing, 5); // copy, vectors, values, two work arrays
            break;
        }
    }
}
