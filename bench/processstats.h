#pragma once

#include <QtGlobal>

// What this process holds, read from /proc.
namespace ProcessStats {

// Resident size in KiB, now and at its peak; -1 when unknown.
qint64 residentKiB();
qint64 peakResidentKiB();
// Open file descriptors; -1 when unknown.
int openDescriptors();

// AddressSanitizer keeps freed memory in quarantine, so resident size grows by design there and
// tells nothing of leaks (its own leak check does).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentSizeTellsGrowth = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentSizeTellsGrowth = false;
#else
constexpr bool kResidentSizeTellsGrowth = true;
#endif
#else
constexpr bool kResidentSizeTellsGrowth = true;
#endif

} // namespace ProcessStats
