#pragma once

#include <string>

namespace vemla::benchmarks {

// A start request as a client sends it, without its line feed: a typical configuration (654
// routing rules once compiled).
std::string typical_request();

// A rules map just under 12 MiB, compiling to just under 50000 routing rules.
std::string worst_request();

// This process's peak resident memory so far, in KiB; -1 when the system does not tell.
long own_peak_kib();

}  // namespace vemla::benchmarks
