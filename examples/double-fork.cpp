// SPDX-License-Identifier: BSD-2-Clause
/*
 * double-fork: how a daemon leaves its starter.  The child forks again and
 * exits at once; the parent collects it straight away.  The grandchild,
 * orphaned, is adopted by the nearest child subreaper above it, or else
 * by PID 1, and it is that new parent's job to collect it when it ends.
 * The parent has no more children to wait for: it can never leave a
 * zombie behind, however long the grandchild runs.
 */

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int
main()
{
	pid_t pid = fork();
	if (pid == -1) {
		perror("fork");
		return 1;
	}
	if (pid == 0) {
		/* A session of its own: no terminal can stop or hang it up. */
		(void)setsid();
		if (fork() == 0) {
			(void)usleep(500000); /* the daemon's work */
			_exit(0);
		}
		_exit(0); /* orphans the grandchild */
	}

	(void)waitpid(pid, nullptr, 0);
	/* The grandchild ends meanwhile, and it is not ours to collect. */
	(void)sleep(1);
	return 0;
}
