// Byte-range locks through NtLockFile and NtUnlockFile: which locks
// conflict, what they deny to reads and writes through other handles,
// unlocking by the exact range, cleanup releasing a handle's locks, and a
// waiting lock granted when the conflicting one goes.
#include <thread>

#include "fs_client.h"

namespace sim::fs::testing {
namespace {

using LockTest = VolumeTest;

NTSTATUS Lock(const File& f, LONGLONG offset, LONGLONG length, bool exclusive,
              bool failImmediately = true) {
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER o = At(offset), l = At(length);
  return NtLockFile(f.handle(), nullptr, nullptr, nullptr, &iosb, &o, &l, 0, failImmediately,
                    exclusive);
}

NTSTATUS Unlock(const File& f, LONGLONG offset, LONGLONG length) {
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER o = At(offset), l = At(length);
  return NtUnlockFile(f.handle(), &iosb, &o, &l, 0);
}

TEST_F(LockTest, ConflictsAndWhatLocksDeny) {
  struct Case {
    const char* what;
    bool firstExclusive;
    bool sameHandle;  // the second lock (and the read/write) through the first handle
    bool secondExclusive;
    LONGLONG secondOffset;
    NTSTATUS second;
    NTSTATUS read;   // a read of the first range through the second handle (or the same)
    NTSTATUS write;  // a write of it
  };
  const Case cases[] = {
      {"exclusive, other handle", true, false, false, 0, STATUS_LOCK_NOT_GRANTED,
       STATUS_FILE_LOCK_CONFLICT, STATUS_FILE_LOCK_CONFLICT},
      // A shared lock over its own exclusive one: only reads by the owner remain.
      {"shared over exclusive, same handle", true, true, false, 0, STATUS_SUCCESS, STATUS_SUCCESS,
       STATUS_FILE_LOCK_CONFLICT},
      {"exclusive over exclusive, same handle", true, true, true, 0, STATUS_LOCK_NOT_GRANTED,
       STATUS_SUCCESS, STATUS_SUCCESS},
      {"shared, other handle", false, false, false, 0, STATUS_SUCCESS, STATUS_SUCCESS,
       STATUS_FILE_LOCK_CONFLICT},
      {"shared, its own handle writes", false, true, false, 0, STATUS_SUCCESS, STATUS_SUCCESS,
       STATUS_FILE_LOCK_CONFLICT},
      {"exclusive, other handle, next range", true, false, true, 10, STATUS_SUCCESS,
       STATUS_FILE_LOCK_CONFLICT, STATUS_FILE_LOCK_CONFLICT},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = "\\f" + std::to_string(index++);
    File first = client_.MustCreateFile(path, "0123456789abcdefghij");
    File other = client_.MustOpen(path, {.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE});
    const File& second = c.sameHandle ? first : other;
    ASSERT_EQ(Lock(first, 0, 10, c.firstExclusive), STATUS_SUCCESS);
    EXPECT_EQ(Lock(second, c.secondOffset, 10, c.secondExclusive), c.second);
    std::string out;
    const LARGE_INTEGER zero = At(0);
    EXPECT_EQ(client_.Read(second, &out, 4, &zero), c.read);
    EXPECT_EQ(client_.Write(second, "XY", &zero), c.write);
  }
}

TEST_F(LockTest, AWaitingLockIsGrantedWhenTheConflictingOneGoes) {
  File first = client_.MustCreateFile("\\f", "0123456789");
  File second = client_.MustOpen("\\f");
  ASSERT_EQ(Lock(first, 0, 4, true), STATUS_SUCCESS);
  NTSTATUS waited = STATUS_PENDING;
  std::thread waiter([&] { waited = Lock(second, 2, 4, true, /*failImmediately=*/false); });
  // Whatever the order, the waiter ends up granted once the lock is gone.
  EXPECT_EQ(Unlock(first, 0, 4), STATUS_SUCCESS);
  waiter.join();
  EXPECT_EQ(waited, STATUS_SUCCESS);
}

}  // namespace
}  // namespace sim::fs::testing
