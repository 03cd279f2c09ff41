#pragma once
// Keeps writers away from a file while it is read through a memory mapping. A program that
// truncates a mapped file makes every later access to the lost pages fatal (SIGBUS), so the
// scan holds a read lease: a writer's open() then waits (at most the kernel's lease-break time)
// until the lease is released, and the holder sees the request through Broken() and lets go.
// The break notification is routed to SIGURG, which is ignored by default.

namespace platform {

class ReadLease {
 public:
  enum class State {
    kHeld,           // writers now wait for Release()
    kWriterPresent,  // somebody has the file open for writing already
    kUnavailable,    // no lease for us here (not our file, or no lease support): no protection
  };

  ReadLease() = default;
  ~ReadLease() { Release(); }
  ReadLease(const ReadLease&) = delete;
  ReadLease& operator=(const ReadLease&) = delete;

  // `fd` must be open read-only and stay open until Release().
  State Acquire(int fd);

  // True once a writer has asked to open the file; release promptly, it is waiting.
  bool Broken() const;

  void Release();

 private:
  int fd_ = -1;
  int previousSignal_ = 0;
};

}  // namespace platform
