// GoogleTest main for every simulation-based test program. Before each test
// the simulated machine is reset to a freshly booted state; after it, the
// end-of-test checks run (pool leaks, held locks, ...) and every verifier
// violation the test did not take itself fails the run.
#include <gtest/gtest.h>

#include <cstdio>

#include "kernel/lifecycle.h"
#include "verifier/bookkeeping.h"
#include "verifier/verifier.h"

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    sim::kernel::ResetMachine();
    sim::verifier::TakeViolations();
  }

  void OnTestEnd(const ::testing::TestInfo& info) override {
    sim::kernel::RunEndOfTestChecks();
    auto violations = sim::verifier::TakeViolations();
    if (violations.empty()) return;
    std::string text;
    for (const auto& v : violations) {
      text += "  [" + std::string(sim::verifier::CheckName(v.check)) + "] " + v.message + "\n";
    }
    // Attributed to the program rather than the finished test: the run fails.
    ADD_FAILURE() << "verifier violations in " << info.test_suite_name() << "." << info.name()
                  << ":\n"
                  << text;
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Only benchmark programs run without the verifier's bookkeeping.
  if (!sim::verifier::KeepsBookkeeping()) {
    std::fprintf(stderr, "the verifier's bookkeeping is off in a test program\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
  return RUN_ALL_TESTS();
}
