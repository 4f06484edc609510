// Lock types that clang's -Wthread-safety analysis understands, and the
// attributes that tie a field to the lock guarding it. Under other compilers
// the attributes vanish and the types behave the same.
#ifndef KESTREL_MODEL_LOCKS_H_
#define KESTREL_MODEL_LOCKS_H_

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex the analysis can follow.
class CAPABILITY("mutex") lockable {
 public:
  void lock() ACQUIRE() { m.lock(); }
  void unlock() RELEASE() { m.unlock(); }
  // For condition variables, which need the mutex itself.
  std::mutex& native() { return m; }

 private:
  std::mutex m;
};

// A test-and-set flag taken in steps of FLAGLOCKSTEP: cheap where it is
// almost never contended, and its state can be looked at.
constexpr useconds_t FLAGLOCKSTEP = 5000;
class CAPABILITY("mutex") flaglock {
 public:
  void lock() ACQUIRE() {
    while (flag.exchange(true, std::memory_order_acquire)) usleep(FLAGLOCKSTEP);
  }
  void unlock() RELEASE() { flag.store(false, std::memory_order_release); }
  bool load() const { return flag.load(); }  // held by someone

 private:
  std::atomic<bool> flag{false};
};

// Holds a lock for the rest of the scope.
template <class L>
class SCOPED_CAPABILITY holding {
 public:
  explicit holding(L& l) ACQUIRE(l) : held(l) { held.lock(); }
  ~holding() RELEASE() { held.unlock(); }
  holding(const holding&) = delete;
  holding& operator=(const holding&) = delete;

 private:
  L& held;
};

#endif  // KESTREL_MODEL_LOCKS_H_
