// SPDX-License-Identifier: BSD-2-Clause
/*
 * family MODE: small process families for the watcher's tests, each one way
 * a child can end and be collected, fast and the same every run.
 *
 *   waitignore  the parent collects a child with waitpid, then ignores
 *               SIGCHLD, and a second child exits
 *   three       the parent collects three children, then exits at once
 *   cloneparent a child made with CLONE_PARENT exits at 0.1 s
 *   subreaper   a subreaper whose child leaves two zombie orphans to it,
 *               then collects both at once
 *   term        kills itself with SIGTERM
 *   many N      N short children at once, then waits for them all
 *   stall       has a child that exits at once, then stops its parent, the
 *               watcher, collects the child, and lets the watcher go on
 *               a second later
 *   storm N     stops its parent, the watcher, makes N short children
 *               with vfork and collects each, then lets the watcher go
 *               on: more records than its rings hold
 *   reuse N     as root in a PID namespace of its own: N children, each
 *               exiting with its number and collected at once, every one
 *               given the first one's PID again (through ns_last_pid)
 *   leaky N     from 2 s, N times: a child that exits at once and is
 *               collected 0.1 s later, a zombie meanwhile
 *   scan WATCHER
 *               the zombies a scan must explain: a parent that catches
 *               SIGCHLD and holds two, a stopped parent that blocks it and
 *               holds one, a leader whose thread runs on, and an orphan
 *               left to PID 1; then runs WATCHER --scan and --scan --json
 *               and exits as the first did
 *   rename WATCHER
 *               names itself with every kind of byte a terminal must not
 *               obey, and the child it starts inherits the name; runs
 *               WATCHER --pid on that child, passing on what it writes,
 *               and WATCHER --scan while the child holds a zombie; exits
 *               as WATCHER --pid did
 */

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

void
nap(double s)
{
	struct timespec ts = {(time_t)s, (long)((s - (double)(time_t)s) * 1e9)};
	while (nanosleep(&ts, &ts) == -1)
		;
}

/* A child that sleeps, then exits with status. */
pid_t
child(double after, int status)
{
	pid_t pid = fork();
	if (pid == 0) {
		nap(after);
		_exit(status);
	}
	return pid;
}

int
waitignore()
{
	(void)waitpid(child(0.1, 1), nullptr, 0);
	(void)signal(SIGCHLD, SIG_IGN);
	(void)child(0.1, 2);
	nap(0.4);
	return 0;
}

int
three()
{
	pid_t kids[] = {child(0.1, 1), child(0.1, 2), child(0.1, 3)};
	nap(0.3);
	for (pid_t k : kids)
		(void)waitpid(k, nullptr, 0);
	return 0;
}

int
cloneparent()
{
	pid_t mid = fork();
	if (mid == 0) {
		/* Its sibling, as far as the kernel is concerned. */
		long pid =
		    syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0);
		if (pid == 0) {
			nap(0.1);
			_exit(0);
		}
		nap(0.3);
		_exit(0);
	}
	nap(0.2);
	while (wait(nullptr) > 0)
		;
	return 0;
}

int
subreaper()
{
	(void)prctl(PR_SET_CHILD_SUBREAPER, 1);
	pid_t mid = fork();
	if (mid == 0) {
		(void)child(0, 5);
		(void)child(0, 6);
		nap(0.2);
		_exit(0);
	}
	(void)waitpid(mid, nullptr, 0);
	nap(0.2);
	/* Both orphans at once, as quickly as can be. */
	while (wait(nullptr) > 0)
		;
	return 0;
}

int
many(int n)
{
	for (int i = 0; i < n; i++)
		if (fork() == 0)
			_exit(0);
	while (wait(nullptr) > 0)
		;
	return 0;
}

/* The next fork gets pid, unless another takes it first. */
bool
next_pid_is(pid_t pid)
{
	int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
	if (fd == -1)
		return false;
	char num[16];
	int len = snprintf(num, sizeof(num), "%d", (int)pid - 1);
	bool ok = write(fd, num, (size_t)len) == len;
	(void)close(fd);
	return ok;
}

int
reuse(int n)
{
	pid_t first = 0;

	for (int i = 0; i < n; i++) {
		if (first != 0 && !next_pid_is(first))
			return 2;
		pid_t kid = fork();
		if (kid == 0)
			_exit(i);
		if (first == 0)
			first = kid;
		if (kid != first || waitpid(kid, nullptr, 0) != kid)
			return 1;
	}
	return 0;
}

int
stall()
{
	pid_t watcher = getppid();
	pid_t kid = fork();

	if (kid == 0)
		_exit(0);
	nap(0.3);
	if (kid < 0 || kill(watcher, SIGSTOP) != 0)
		return 1;
	(void)waitpid(kid, nullptr, 0);
	nap(1.0);
	return kill(watcher, SIGCONT) == 0 ? 0 : 1;
}

int
storm(int n)
{
	pid_t watcher = getppid();

	if (kill(watcher, SIGSTOP) != 0)
		return 1;
	/*
	 * vfork: the same fork and exit records as fork writes, without a
	 * copy of the parent's memory each time, so that a loaded machine
	 * still makes them all in seconds.
	 */
	for (int i = 0; i < n; i++) {
		// A child that only exits: nothing of the parent's to harm.
		pid_t pid =
		    vfork(); // NOLINT(clang-analyzer-security.insecureAPI.vfork)
		if (pid == 0)
			_exit(0);
		if (pid > 0)
			(void)waitpid(pid, nullptr, 0);
	}
	return kill(watcher, SIGCONT) == 0 ? 0 : 1;
}

/* Until the kernel shows pid in state; a scene half set is no scene. */
void
await_state(pid_t pid, char state)
{
	char path[32], buf[512];

	(void)snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
	for (int i = 0; i < 2000; i++, nap(0.01)) {
		int fd = open(path, O_RDONLY | O_CLOEXEC);
		ssize_t n = fd >= 0 ? read(fd, buf, sizeof(buf) - 1) : -1;
		if (fd >= 0)
			(void)close(fd);
		buf[n > 0 ? n : 0] = '\0';
		const char *paren = strrchr(buf, ')');
		if (paren != nullptr && paren[1] == ' ' && paren[2] == state)
			return;
	}
}

/* A zombie child of ours, left uncollected. */
pid_t
zombie_child()
{
	siginfo_t si;
	pid_t pid = child(0, 0);
	while (waitid(P_PID, (id_t)pid, &si, WEXITED | WNOWAIT) == -1)
		;
	return pid;
}

void
on_child(int)
{
}

/* Told ready once both are zombies: asleep, it could still be waiting. */
pid_t
holder()
{
	int p[2];
	char c = 0;

	if (pipe(p) == -1)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		struct sigaction sa = {};
		sa.sa_handler = on_child;
		(void)sigaction(SIGCHLD, &sa, nullptr);
		(void)zombie_child();
		(void)zombie_child();
		(void)!write(p[1], &c, 1);
		for (;;)
			(void)pause();
	}
	(void)!read(p[0], &c, 1);
	(void)close(p[0]);
	(void)close(p[1]);
	return pid;
}

pid_t
stopped()
{
	pid_t pid = fork();
	if (pid == 0) {
		sigset_t chld;
		(void)sigemptyset(&chld);
		(void)sigaddset(&chld, SIGCHLD);
		(void)sigprocmask(SIG_BLOCK, &chld, nullptr);
		(void)zombie_child();
		(void)raise(SIGSTOP);
		for (;;)
			(void)pause();
	}
	return pid;
}

void *
forever(void *)
{
	for (;;)
		(void)pause();
}

pid_t
threads_run_on()
{
	pid_t pid = fork();
	if (pid == 0) {
		pthread_t t;
		(void)pthread_create(&t, nullptr, forever, nullptr);
		pthread_exit(nullptr);
	}
	return pid;
}

/* Its parent ends while it is a zombie: the kernel hands it to PID 1. */
pid_t
orphan()
{
	int p[2];
	pid_t zombie = 0;

	if (pipe(p) == -1)
		return -1;
	pid_t mid = fork();
	if (mid == 0) {
		zombie = zombie_child();
		(void)!write(p[1], &zombie, sizeof(zombie));
		_exit(0);
	}
	(void)!read(p[0], &zombie, sizeof(zombie));
	(void)waitpid(mid, nullptr, 0);
	(void)close(p[0]);
	(void)close(p[1]);
	return zombie;
}

int
run(const char *watcher, const char *json)
{
	int status = 0;
	pid_t pid = fork();
	if (pid == 0) {
		(void)execl(watcher, watcher, "--scan", json, (char *)nullptr);
		_exit(127);
	}
	(void)waitpid(pid, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int
scan(const char *watcher)
{
	pid_t h = holder(), s = stopped(), l = threads_run_on(), o = orphan();
	await_state(s, 'T');
	await_state(l, 'Z');
	(void)dprintf(1,
	    "scene: family %d holder %d stopped %d leader %d "
	    "orphan %d\n",
	    (int)getpid(), (int)h, (int)s, (int)l, (int)o);
	int status = run(watcher, nullptr);
	(void)dprintf(1, "json status %d\n", run(watcher, "--json"));
	pid_t scene[] = {h, s, l};
	for (pid_t pid : scene) {
		(void)kill(pid, SIGKILL);
		(void)waitpid(pid, nullptr, 0);
	}
	return status;
}

/* ESC, BEL, CR, LF, TAB, DEL, U+009B in UTF-8, a byte no UTF-8 has. */
const char hostile[] = "\x1b]0;\a\r\n\t\x7f\xc2\x9b\xff\\z";

/* What fd gives, passed on to standard output: to a line's end, or all. */
bool
relay(int fd, bool line)
{
	char c;
	while (read(fd, &c, 1) == 1) {
		if (write(1, &c, 1) != 1)
			return false;
		if (line && c == '\n')
			return true;
	}
	return false;
}

/* Holds a zombie once told to, and collects it when told again. */
[[noreturn]] void
held(int go, int ready)
{
	char c = 0;
	(void)!read(go, &c, 1);
	pid_t zombie = zombie_child();
	(void)!write(ready, &zombie, sizeof(zombie));
	(void)!read(go, &c, 1);
	(void)waitpid(zombie, nullptr, 0);
	_exit(0);
}

/* WATCHER --pid=PID, writing to out. */
pid_t
follow(const char *watcher, pid_t pid, int out)
{
	char arg[32];
	(void)snprintf(arg, sizeof(arg), "--pid=%d", (int)pid);
	pid_t w = fork();
	if (w == 0) {
		(void)dup2(out, 1);
		(void)execl(watcher, watcher, arg, (char *)nullptr);
		_exit(127);
	}
	return w;
}

/*
 * Its first line says the watcher has the child: only then does the
 * child make its zombie, which the watcher must see.
 */
int
renamed(const char *watcher)
{
	int go[2], ready[2], out[2];
	pid_t zombie = 0;

	if (pipe(go) == -1 || pipe(ready) == -1)
		return 2;
	(void)prctl(PR_SET_NAME, hostile);
	pid_t child = fork();
	if (child == 0)
		held(go[0], ready[1]);
	if (pipe(out) == -1)
		return 2;
	pid_t w = follow(watcher, child, out[1]);
	(void)close(out[1]);
	(void)relay(out[0], true);
	(void)!write(go[1], "g", 1);
	(void)!read(ready[0], &zombie, sizeof(zombie));
	(void)dprintf(
	    1, "scene: child %d zombie %d\n", (int)child, (int)zombie);
	(void)dprintf(1, "scan status %d\n", run(watcher, nullptr));
	(void)!write(go[1], "g", 1);
	(void)waitpid(child, nullptr, 0);
	(void)relay(out[0], false);
	int status = 0;
	(void)waitpid(w, &status, 0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

/*
 * As a service that leaks a short zombie now and then; from 2 s, so that a
 * watcher started beside it follows it first even when slow to start.
 */
int
leaky(int n)
{
	nap(2.0);
	for (int i = 0; i < n; i++) {
		pid_t kid = child(0, 0);
		nap(0.1);
		if (waitpid(kid, nullptr, 0) != kid)
			return 1;
	}
	return 0;
}

} // namespace

int
main(int argc, char *argv[])
{
	const char *m = argc > 1 ? argv[1] : "";

	if (strcmp(m, "waitignore") == 0)
		return waitignore();
	if (strcmp(m, "three") == 0)
		return three();
	if (strcmp(m, "cloneparent") == 0)
		return cloneparent();
	if (strcmp(m, "subreaper") == 0)
		return subreaper();
	if (strcmp(m, "term") == 0)
		return raise(SIGTERM);
	if (strcmp(m, "scan") == 0 && argc > 2)
		return scan(argv[2]);
	if (strcmp(m, "rename") == 0 && argc > 2)
		return renamed(argv[2]);
	if (strcmp(m, "leaky") == 0 && argc > 2)
		return leaky((int)strtol(argv[2], nullptr, 10));
	if (strcmp(m, "many") == 0 && argc > 2)
		return many((int)strtol(argv[2], nullptr, 10));
	if (strcmp(m, "reuse") == 0 && argc > 2)
		return reuse((int)strtol(argv[2], nullptr, 10));
	if (strcmp(m, "stall") == 0)
		return stall();
	if (strcmp(m, "storm") == 0 && argc > 2)
		return storm((int)strtol(argv[2], nullptr, 10));
	return 2;
}
