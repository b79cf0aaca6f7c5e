#include "win/FaultInjection.h"

namespace win {
namespace {

struct Point {
    unsigned armed = 0;
    unsigned passes = 0;
};

Point g_points[5];

Point& Of(FaultPoint point) {
    return g_points[static_cast<int>(point)];
}

} // namespace

bool InjectFault(FaultPoint point) {
    Point& p = Of(point);
    return ++p.passes == p.armed;
}

void ArmFaultForTesting(FaultPoint point, unsigned nth) {
    Of(point) = Point{nth, 0};
}

unsigned FaultPointPasses(FaultPoint point) {
    return Of(point).passes;
}

} // namespace win
