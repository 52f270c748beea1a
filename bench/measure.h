#pragma once

#include "processstats.h"

#include <QByteArray>
#include <QtGlobal>

#include <vector>

// What the benchmark programs measure with, and the one line format scripts/bench.sh reads:
//   figure<TAB>id<TAB>unit<TAB>label<TAB>sample sample ...
//   info<TAB>id<TAB>text
namespace Measure {

double processCpuMs();
double monotonicMs();

void figure(const char *id, const char *unit, const char *label,
            const std::vector<double> &samples);
void info(const char *id, const QByteArray &text);

} // namespace Measure
