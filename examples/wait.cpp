// SPDX-License-Identifier: BSD-2-Clause
/*
 * wait: the cure for zombies.  The child exits after 0.3 s; its parent is
 * already blocked in waitpid, so it collects the child the moment it
 * ends, and the child is a zombie only for the instant between its exit
 * and the parent's wake-up.
 */

#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
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
		(void)usleep(300000);
		return 3; /* the parent will read this number */
	}

	/* Sleeps until the child ends, then takes its exit status. */
	int status;
	if (waitpid(pid, &status, 0) == -1) {
		perror("waitpid");
		return 1;
	}
	if (WIFEXITED(status))
		(void)printf("child %d exited with status %d\n", (int)pid,
		    WEXITSTATUS(status));
	/* Gone already: from now on, ps finds no child at all. */
	struct timespec t = {1, 500000000};
	(void)nanosleep(&t, nullptr);
	return 0;
}
