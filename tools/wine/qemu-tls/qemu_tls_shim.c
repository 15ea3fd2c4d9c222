/* Preloaded into Wine's 32-bit processes when they run under qemu-i386 (see wine-env.sh).
 *
 * qemu's user-mode emulation keeps one GDT for the whole process, so a thread-area descriptor
 * installed by one thread replaces the one every other thread uses in that slot. Wine reloads %fs
 * (its TEB) and %gs (glibc's thread pointer) on every switch between Windows and Unix code, so as
 * soon as a process has more than one secondary thread, threads run on each other's TEB and
 * thread-local storage and the process crashes or hangs.
 *
 * The shim moves every thread off the GDT:
 *  - Wine asks set_thread_area for a fresh slot for %fs; that request is refused, and Wine then
 *    gives each thread a selector of its own in the LDT (which is per process, one entry a thread).
 *  - glibc's %gs of each thread (the main thread at load time, every new thread when it starts) is
 *    moved to an LDT entry of its own, taken from the top of the table where Wine never allocates.
 *  - glibc builds a new thread's descriptor from the creator's %gs slot, so thread creation is
 *    serialised and briefly runs the creator on GDT slot 6, which no thread otherwise rests on.
 *
 * It also completes the fault reports qemu hands to signal handlers: qemu leaves the trap number
 * unset (-1), and Wine derives the Windows exception code from it, so a null-pointer write would
 * reach the program as an illegal instruction instead of an access violation.
 */
#define _GNU_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#define FIRST_OWN_ENTRY 7936 /* LDT entries 7936..8191 are ours: 256 threads alive at once */
#define OWN_ENTRIES 256
#define SCRATCH_GDT_ENTRY 6

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
typedef long (*syscall_fn)(long, ...);

struct start_info {
  void *(*fn)(void *);
  void *arg;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; /* the entry table */
static sem_t creating;                                   /* one thread creation at a time */
static unsigned char used[OWN_ENTRIES];
static pthread_key_t entry_key;
static int active;

static void *thread_pointer(void) {
  void *self;
  __asm__ volatile("movl %%gs:0,%0" : "=r"(self));
  return self;
}

static unsigned short current_gs(void) {
  unsigned short gs;
  __asm__ volatile("movw %%gs,%0" : "=r"(gs));
  return gs;
}

static void load_gs(unsigned short sel) { __asm__ volatile("movw %0,%%gs" : : "r"(sel) : "memory"); }

static long raw_syscall3(long nr, long a, long b, long c) {
  long ret;
  __asm__ volatile("int $0x80" : "=a"(ret) : "0"(nr), "b"(a), "c"(b), "d"(c) : "memory");
  return ret;
}

static void fill(struct user_desc *d, unsigned int entry, void *base) {
  *d = (struct user_desc){0};
  d->entry_number = entry;
  d->base_addr = (unsigned int)(uintptr_t)base;
  d->limit = 0xfffff;
  d->seg_32bit = 1;
  d->limit_in_pages = 1;
  d->useable = 1;
}

/* Gives the calling thread an LDT entry of its own holding its thread pointer; 0 when none left. */
static int move_to_own_entry(void) {
  int slot = -1;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < OWN_ENTRIES; i++)
    if (!used[i]) {
      used[i] = 1;
      slot = i;
      break;
    }
  pthread_mutex_unlock(&lock);
  if (slot < 0) return 0;
  struct user_desc d;
  fill(&d, FIRST_OWN_ENTRY + slot, thread_pointer());
  if (raw_syscall3(SYS_modify_ldt, 1, (long)&d, sizeof d) != 0) {
    used[slot] = 0;
    return 0;
  }
  load_gs((unsigned short)(((FIRST_OWN_ENTRY + slot) << 3) | 7));
  pthread_setspecific(entry_key, (void *)(uintptr_t)(slot + 1));
  return 1;
}

static void release_entry(void *value) {
  pthread_mutex_lock(&lock);
  used[(uintptr_t)value - 1] = 0;
  pthread_mutex_unlock(&lock);
}

__attribute__((constructor)) static void init(void) {
  if (pthread_key_create(&entry_key, release_entry) != 0 || sem_init(&creating, 0, 1) != 0) return;
  active = move_to_own_entry();
}

static void *start_on_own_entry(void *p) {
  struct start_info info = *(struct start_info *)p;
  free(p);
  /* The clone left this thread's descriptor in the scratch slot; leave it before anyone else
   * creates a thread. */
  move_to_own_entry();
  sem_post(&creating);
  return info.fn(info.arg);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
  static create_fn real;
  if (!real) real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
  if (!active) return real(thread, attr, fn, arg);
  struct start_info *info = malloc(sizeof *info);
  if (!info) return ENOMEM;
  info->fn = fn;
  info->arg = arg;

  /* Held until the child has left the scratch slot (the child posts it). */
  while (sem_wait(&creating) != 0 && errno == EINTR) {
  }
  unsigned short own = current_gs();
  struct user_desc d;
  fill(&d, SCRATCH_GDT_ENTRY, thread_pointer());
  raw_syscall3(SYS_set_thread_area, (long)&d, 0, 0);
  load_gs((SCRATCH_GDT_ENTRY << 3) | 3);
  int rc = real(thread, attr, start_on_own_entry, info);
  load_gs(own);
  if (rc != 0) {
    free(info);
    sem_post(&creating);
  }
  return rc;
}

/* Wine asks for a fresh GDT slot (entry -1) for its %fs selector; refusing it makes Wine use a
 * per-thread LDT entry instead. */
long syscall(long number, ...) {
  static syscall_fn real;
  if (!real) real = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
  va_list ap;
  va_start(ap, number);
  long a1 = va_arg(ap, long), a2 = va_arg(ap, long), a3 = va_arg(ap, long);
  long a4 = va_arg(ap, long), a5 = va_arg(ap, long), a6 = va_arg(ap, long);
  va_end(ap);
  if (active && number == SYS_set_thread_area && a1 && (int)((struct user_desc *)a1)->entry_number == -1) {
    errno = ENOSYS;
    return -1;
  }
  return real(number, a1, a2, a3, a4, a5, a6);
}

typedef void (*info_handler)(int, siginfo_t *, void *);
typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
static info_handler wine_segv_handler, wine_fpe_handler;

enum { TRAP_DIVIDE = 0, TRAP_OVERFLOW = 4, TRAP_PAGE_FAULT = 14 };

static void complete_segv(int sig, siginfo_t *info, void *context) {
  ucontext_t *uc = context;
  if (uc->uc_mcontext.gregs[REG_TRAPNO] == -1 &&
      (info->si_code == SEGV_MAPERR || info->si_code == SEGV_ACCERR))
    uc->uc_mcontext.gregs[REG_TRAPNO] = TRAP_PAGE_FAULT;
  wine_segv_handler(sig, info, context);
}

static void complete_fpe(int sig, siginfo_t *info, void *context) {
  ucontext_t *uc = context;
  if (uc->uc_mcontext.gregs[REG_TRAPNO] == -1) {
    if (info->si_code == FPE_INTDIV)
      uc->uc_mcontext.gregs[REG_TRAPNO] = TRAP_DIVIDE;
    else if (info->si_code == FPE_INTOVF)
      uc->uc_mcontext.gregs[REG_TRAPNO] = TRAP_OVERFLOW;
  }
  wine_fpe_handler(sig, info, context);
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
  static sigaction_fn real;
  if (!real) real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
  if (act && (act->sa_flags & SA_SIGINFO) && (sig == SIGSEGV || sig == SIGFPE)) {
    info_handler wrapper = sig == SIGSEGV ? complete_segv : complete_fpe;
    if (act->sa_sigaction != wrapper) {
      struct sigaction mine = *act;
      if (sig == SIGSEGV)
        wine_segv_handler = act->sa_sigaction;
      else
        wine_fpe_handler = act->sa_sigaction;
      mine.sa_sigaction = wrapper;
      return real(sig, &mine, old);
    }
  }
  return real(sig, act, old);
}
