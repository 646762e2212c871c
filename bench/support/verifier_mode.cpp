// Linked into every benchmark program (and into nothing else): the
// simulated machine runs as Windows runs without Driver Verifier, with the
// verifier's bookkeeping off (see sim/verifier/bookkeeping.h), unless the
// environment asks for it with TAVO_BENCH_VERIFIER=on. Set while the
// program starts, before the machine allocates anything.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "verifier/bookkeeping.h"

namespace {

struct VerifierMode {
  VerifierMode() {
    const char* mode = std::getenv("TAVO_BENCH_VERIFIER");
    const bool on = mode != nullptr && std::strcmp(mode, "on") == 0;
    sim::verifier::internal::bookkeepingOff.store(!on);
    std::fprintf(stderr, "verifier bookkeeping: %s (TAVO_BENCH_VERIFIER=%s)\n", on ? "on" : "off",
                 on ? "on" : "off|on");
  }
};

const VerifierMode verifierMode;

}  // namespace
