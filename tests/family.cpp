// SPDX-License-Identifier: BSD-2-Clause
/*
 * family MODE: small process families for the watcher's tests, each one way
 * a child can end and be collected, fast and the same every run.
 *
 *   nocldwait   the parent sets SA_NOCLDWAIT; its child exits at 0.1 s
 *   ignore      the parent ignores SIGCHLD; its child exits at 0.1 s
 *   waitignore  the parent collects a child with waitpid, then ignores
 *               SIGCHLD, and a second child exits
 *   three       the parent collects three children, then exits at once
 *   leader      the main thread exits at 0.1 s; another runs to 0.5 s
 *   cloneparent a child made with CLONE_PARENT exits at 0.1 s
 *   subreaper   a subreaper whose child leaves two zombie orphans to it,
 *               then collects both at once
 *   term        kills itself with SIGTERM
 *   many N      N short children at once, then waits for them all
 */

#include <pthread.h>
#include <sched.h>
#include <signal.h>
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
nocldwait(bool ignore)
{
	struct sigaction sa = {};
	sa.sa_handler = ignore ? SIG_IGN : SIG_DFL;
	sa.sa_flags = ignore ? 0 : SA_NOCLDWAIT;
	(void)sigaction(SIGCHLD, &sa, nullptr);
	(void)child(0.1, 0);
	nap(0.4);
	return 0;
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

void *
runner(void *)
{
	nap(0.5);
	exit(0);
}

int
leader()
{
	pthread_t t;
	(void)pthread_create(&t, nullptr, runner, nullptr);
	nap(0.1);
	pthread_exit(nullptr);
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

} // namespace

int
main(int argc, char *argv[])
{
	const char *m = argc > 1 ? argv[1] : "";

	if (strcmp(m, "nocldwait") == 0 || strcmp(m, "ignore") == 0)
		return nocldwait(strcmp(m, "ignore") == 0);
	if (strcmp(m, "waitignore") == 0)
		return waitignore();
	if (strcmp(m, "three") == 0)
		return three();
	if (strcmp(m, "leader") == 0)
		return leader();
	if (strcmp(m, "cloneparent") == 0)
		return cloneparent();
	if (strcmp(m, "subreaper") == 0)
		return subreaper();
	if (strcmp(m, "term") == 0)
		return raise(SIGTERM);
	if (strcmp(m, "many") == 0 && argc > 2)
		return many((int)strtol(argv[2], nullptr, 10));
	return 2;
}
