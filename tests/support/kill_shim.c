// Preloaded for crash tests: kills the program named KILL_SHIM_EXE with SIGKILL (no atexit, no
// flush) right before its N-th call of one function (KILL_SHIM_AT="function:N"), and writes
// "function count" lines to KILL_SHIM_COUNTS when it ends. Other programs that inherit it (tar,
// the launcher) are left alone. The counts go on across an exec (a self-update's restart).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

static const char* const kNames[] = {"rename", "mkdir",    "link",  "unlinkat",
                                     "remove", "write",    "fsync", "sendfile",
                                     "chmod",  "fchmodat", "execv", "posix_spawnp"};
enum { kCount = sizeof kNames / sizeof *kNames };
static long g_calls[kCount], g_killAt;
static int g_active, g_kill = -1;

static void Hit(int index) {
  if (g_active && __atomic_add_fetch(&g_calls[index], 1, __ATOMIC_SEQ_CST) == g_killAt &&
      index == g_kill) {
    kill(getpid(), SIGKILL);
  }
}

__attribute__((constructor)) static void Start(void) {
  char exe[4096] = "", name[32] = "", *carry = getenv("KILL_SHIM_CARRY");
  const char* wanted = getenv("KILL_SHIM_EXE");
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0 || !wanted || !strrchr(exe, '/')) return;
  g_active = strcmp(strrchr(exe, '/') + 1, wanted) == 0;
  sscanf(getenv("KILL_SHIM_AT") ? getenv("KILL_SHIM_AT") : "", "%31[^:]:%ld", name, &g_killAt);
  for (int i = 0; i < kCount; ++i) {
    g_kill = strcmp(name, kNames[i]) == 0 ? i : g_kill;
    g_calls[i] = carry ? strtol(carry, &carry, 10) : 0;
  }
}

__attribute__((destructor)) static void Report(void) {
  FILE* out = g_active && getenv("KILL_SHIM_COUNTS") ? fopen(getenv("KILL_SHIM_COUNTS"), "w") : 0;
  for (int i = 0; out && i < kCount; ++i) fprintf(out, "%s %ld\n", kNames[i], g_calls[i]);
  if (out) fclose(out);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))
#define HOOK(i, ret, name, params, ...)     \
  ret name params {                         \
    return Hit(i), REAL(name)(__VA_ARGS__); \
  }
HOOK(0, int, rename, (const char* a, const char* b), a, b)
HOOK(1, int, mkdir, (const char* a, mode_t m), a, m)
HOOK(2, int, link, (const char* a, const char* b), a, b)
HOOK(3, int, unlinkat, (int d, const char* a, int f), d, a, f)
HOOK(4, int, remove, (const char* a), a)
HOOK(5, ssize_t, write, (int fd, const void* b, size_t n), fd, b, n)
HOOK(6, int, fsync, (int fd), fd)
HOOK(7, ssize_t, sendfile, (int o, int i, off_t* p, size_t n), o, i, p, n)
HOOK(8, int, chmod, (const char* a, mode_t m), a, m)
HOOK(9, int, fchmodat, (int d, const char* a, mode_t m, int f), d, a, m, f)
HOOK(11, int, posix_spawnp,
     (pid_t * p, const char* f, const posix_spawn_file_actions_t* a, const posix_spawnattr_t* s,
      char* const* argv, char* const* envp),
     p, f, a, s, argv, envp)

int execv(const char* path, char* const argv[]) {
  char carry[kCount * 21] = "";
  Hit(10);
  for (int i = 0; i < kCount; ++i) sprintf(carry + strlen(carry), "%ld ", g_calls[i]);
  if (g_active) setenv("KILL_SHIM_CARRY", carry, 1);
  return REAL(execv)(path, argv);
}
