// SPDX-License-Identifier: BSD-2-Clause
/*
 * subreaper: a process that adopts its descendants' orphans, as an init
 * does for the whole system.  The child forks a grandchild and exits at
 * once; the orphaned grandchild comes to this process rather than PID 1,
 * and this process collects everything that ends below it, orphans too.
 * Service managers and container inits work this way.
 */

#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

int
main()
{
	if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1) {
		perror("prctl");
		return 1;
	}
	if (fork() == 0) {
		if (fork() == 0) {
			(void)usleep(500000);
			_exit(7);
		}
		_exit(0); /* orphans the grandchild */
	}

	/* Children and adopted orphans alike, until none is left. */
	int status;
	pid_t pid;
	while ((pid = wait(&status)) > 0)
		(void)printf(
		    "collected %d, status %d\n", (int)pid, WEXITSTATUS(status));
	return 0;
}
