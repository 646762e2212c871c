// Linked into every benchmark program: makes the process multi-threaded
// before any benchmark runs. glibc takes locks without atomic instructions
// while a process has never started a second thread, so a baseline measured
// before the first thread (a driver's worker, a client's pump) would pay
// less for every lock than the case it is compared with. A Windows system
// is never single-threaded.
#include <thread>

namespace {

struct ThreadedProcess {
  ThreadedProcess() { std::thread([] {}).join(); }
};

const ThreadedProcess threadedProcess;

}  // namespace
