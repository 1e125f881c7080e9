// SPDX-License-Identifier: BSD-2-Clause
/*
 * fork-race: a child may end, and the SIGCHLD handler run, before fork
 * has returned in the parent.  Blocked across fork and the bookkeeping,
 * the signal waits for the record: the handler knows every child it meets.
 */

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile pid_t child;                /* the parent's record */
static volatile sig_atomic_t recorded = -1; /* of the child collected */

static void
collect(int)
{
	for (pid_t pid; (pid = waitpid(-1, nullptr, WNOHANG)) > 0;)
		recorded = pid == child;
}

int
main()
{
	(void)signal(SIGCHLD, collect);
	sigset_t chld, old;
	(void)sigemptyset(&chld);
	(void)sigaddset(&chld, SIGCHLD);
	(void)sigprocmask(SIG_BLOCK, &chld, &old);
	pid_t pid = fork();
	if (pid == 0)
		_exit(0);
	(void)usleep(100000); /* it has ended by now; its signal is held */
	child = pid;
	while (recorded == -1)
		(void)sigsuspend(&old); /* unblocks and waits in one step */
	(void)puts(recorded ? "known child collected" : "stranger collected");
	return 0;
}
