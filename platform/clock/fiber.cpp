#include "platform/clock/fiber.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <boost/context/detail/fcontext.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define MDM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MDM_ASAN 1
#endif
#endif
#ifdef MDM_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace platform::clock {
namespace {

namespace ctx = boost::context::detail;

// Below each stack: large enough that no frame of the program steps over it.
constexpr std::size_t kGuard = std::size_t{64} << 10;

// What a switch hands to the context it switches to, on the switching context's stack.
struct Handover {
  ThreadRecord* from;
  ThreadRecord* to;
  std::shared_ptr<ThreadRecord> ended;  // the fiber that switched away for the last time
};

// The guard region of the fiber running on this OS thread and its name, for the fault handler.
// Plain thread_local: they describe the OS thread's present stack, and are set by the code that
// switches it (never read across a switch in one function).
thread_local const char* tGuardLow = nullptr;
thread_local const char* tGuardName = nullptr;

struct sigaction gPreviousSegv;

// A fault in the running fiber's guard region is its stack overflowing: said in one line, then
// the process aborts. Any other fault goes to the handler that was there before.
void OnSegv(int number, siginfo_t* info, void* context) {
  const char* address = static_cast<const char*>(info->si_addr);
  if (tGuardLow != nullptr && address >= tGuardLow && address < tGuardLow + kGuard) {
    static const char kText[] = "virtual clock: the stack of thread '";
    static const char kEnd[] = "' overflowed\n";
    (void)!write(STDERR_FILENO, kText, sizeof kText - 1);
    (void)!write(STDERR_FILENO, tGuardName, std::strlen(tGuardName));
    (void)!write(STDERR_FILENO, kEnd, sizeof kEnd - 1);
    signal(SIGABRT, SIG_DFL);
    std::abort();
  }
  if (gPreviousSegv.sa_flags & SA_SIGINFO) {
    gPreviousSegv.sa_sigaction(number, info, context);
  } else if (gPreviousSegv.sa_handler != SIG_IGN && gPreviousSegv.sa_handler != SIG_DFL) {
    gPreviousSegv.sa_handler(number);
  } else {
    sigaction(SIGSEGV, &gPreviousSegv, nullptr);  // the fault repeats, and is dealt as before
  }
}

// The handler runs on a stack of its own, since the overflowing one has no room left. Each OS
// thread that runs fibers gets one, unless it has one already.
class AlternateStack {
 public:
  AlternateStack() {
    stack_t present{};
    if (sigaltstack(nullptr, &present) == 0 && !(present.ss_flags & SS_DISABLE)) return;
    memory_.resize(std::max<std::size_t>(SIGSTKSZ, 64 << 10));
    stack_t own{};
    own.ss_sp = memory_.data();
    own.ss_size = memory_.size();
    if (sigaltstack(&own, nullptr) != 0) memory_.clear();
  }
  ~AlternateStack() {
    if (memory_.empty()) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  }

 private:
  std::vector<char> memory_;
};

void PrepareThisOsThread() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousSegv);
  });
  thread_local AlternateStack alternate;
}

char* StackBottom(char* mapping) {
  return mapping + kGuard;
}

// Stacks of ended fibers, kept for the next: a simulation starts and ends threads all the time,
// and a fresh mapping costs a page fault for every page its thread touches.
constexpr std::size_t kKeptStacks = 16;
std::mutex gStacksMutex;
// Never destroyed: a fiber may end while the process's statics go.
std::vector<char*>& gStacks = *new std::vector<char*>;

char* TakeStack() {
  {
    std::lock_guard lock(gStacksMutex);
    if (!gStacks.empty()) {
      char* mapping = gStacks.back();
      gStacks.pop_back();
      return mapping;
    }
  }
  void* map = mmap(nullptr, kGuard + kFiberStack, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (map == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "fiber stack");
  auto* mapping = static_cast<char*>(map);
  if (mprotect(mapping, kGuard, PROT_NONE) != 0) {
    int error = errno;
    munmap(mapping, kGuard + kFiberStack);
    throw std::system_error(error, std::generic_category(), "fiber stack guard");
  }
  return mapping;
}

void GiveBackStack(char* mapping, const char* lastFrames) {
#ifdef MDM_ASAN
  // Only the frames that never returned are still marked: the others cleared their own marks.
  char* top = StackBottom(mapping) + kFiberStack;
  const char* from = lastFrames != nullptr ? lastFrames : StackBottom(mapping);
  ASAN_UNPOISON_MEMORY_REGION(from, static_cast<std::size_t>(top - from));
#else
  (void)lastFrames;
#endif
  {
    std::lock_guard lock(gStacksMutex);
    if (gStacks.size() < kKeptStacks) {
      gStacks.push_back(mapping);
      return;
    }
  }
  munmap(mapping, kGuard + kFiberStack);
}

// Marks the context now running on this OS thread. Out of line: a function that switches may
// carry on on another OS thread, and must not keep the address of the last one's variables.
[[gnu::noinline]] void Arrive(ThreadRecord& to) {
  SetCurrentThread(&to);
  tGuardLow = to.fiber ? to.fiber->mapping : nullptr;
  tGuardName = to.name.c_str();
}

// The first half of a switch, on the context that leaves; `to` takes over with jump_fcontext.
// Returns the leaving context's errno, which is the OS thread's and so not its own to keep.
[[gnu::noinline]] int Leave(Handover& handover) {
  int savedErrno = errno;
  bool last = handover.ended != nullptr;
  // The frames below this one have returned; this one returns before the switch.
  if (last) handover.from->fiber->lastFrames = static_cast<char*>(__builtin_frame_address(0));
  PrepareThisOsThread();
  Arrive(*handover.to);
#ifdef MDM_ASAN
  __sanitizer_start_switch_fiber(last ? nullptr : &handover.from->point.fakeStack,
                                 handover.to->point.stackBottom, handover.to->point.stackSize);
#endif
  return savedErrno;
}

// The second half, on the context switched to: notes where the other one stopped, and frees it
// if it has ended.
[[gnu::noinline]] void Land(ThreadRecord& me, ctx::transfer_t transfer, int savedErrno) {
  auto* handover = static_cast<Handover*>(transfer.data);
  ThreadRecord& from = *handover->from;
  std::shared_ptr<ThreadRecord> ended = std::move(handover->ended);  // before its stack goes
#ifdef MDM_ASAN
  __sanitizer_finish_switch_fiber(me.point.fakeStack, &from.point.stackBottom,
                                  &from.point.stackSize);
#else
  (void)me;
#endif
  if (ended) {
    ended->fiber.reset();
  } else {
    from.point.context = transfer.fctx;
  }
  errno = savedErrno;
}

void Jump(Handover& handover) {
  int savedErrno = Leave(handover);
  ThreadRecord& me = *handover.from;
  ctx::transfer_t back = ctx::jump_fcontext(handover.to->point.context, &handover);
  Land(me, back, savedErrno);
}

void FiberStart(ctx::transfer_t transfer) {
  ThreadRecord& me = *static_cast<Handover*>(transfer.data)->to;
  Land(me, transfer, 0);
  me.fiber->main();
  std::abort();  // main ends in ExitFiber
}

}  // namespace

Fiber::Fiber(std::function<void()> body) : mapping(TakeStack()), main(std::move(body)) {}

Fiber::~Fiber() {
  GiveBackStack(mapping, lastFrames);
}

void MakeFiber(ThreadRecord& record, std::function<void()> main) {
  auto fiber = std::make_shared<Fiber>(std::move(main));
  record.point.stackBottom = StackBottom(fiber->mapping);
  record.point.stackSize = kFiberStack;
  record.point.context =
      ctx::make_fcontext(StackBottom(fiber->mapping) + kFiberStack, kFiberStack, FiberStart);
  record.fiber = std::move(fiber);
}

void SwitchTo(ThreadRecord& from, ThreadRecord& to) {
  Handover handover{&from, &to, nullptr};
  Jump(handover);
}

void ExitFiber(std::shared_ptr<ThreadRecord> from, ThreadRecord& to) {
  ThreadRecord& me = *from;
  Handover handover{&me, &to, std::move(from)};
  Jump(handover);
  std::abort();  // never switched back to
}

void AbandonFiber(std::shared_ptr<ThreadRecord> record) {
  static auto* abandoned = new std::vector<std::shared_ptr<ThreadRecord>>;
#ifdef MDM_ASAN
  __lsan_register_root_region(StackBottom(record->fiber->mapping), kFiberStack);
#endif
  abandoned->push_back(std::move(record));
}

}  // namespace platform::clock
