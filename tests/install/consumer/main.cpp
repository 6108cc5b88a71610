// Uses the installed library: the worked example of the stretch and an expression.
#include "expr/ExpressionEval.h"
#include "image/LinarBitmap.h"
#include "library/Startup.h"
#include "stretch/StretchTransform.h"
#include <cstdio>
int main() {
    vt::TLibraryScope library;
    vt::TLinearBitmap image;
    image.New(4, 1, vt::pf24bit);
    const unsigned char px[12] = {10, 50, 90, 60, 80, 40, 200, 150, 100, 30, 220, 170};
    for (int i = 0; i < 12; ++i)
        image.Map[i] = px[i];
    vt::TAffineTransform t;
    vt::StretchTransform(image, true, t);
    vt::TransformBitmap(image, t, nullptr);
    std::printf("%d %d %d, %.3Lf\n", image.Map[0], image.Map[1], image.Map[2],
                vt::EvaluateExpression("2*sin(pi/4)^2"));
}
