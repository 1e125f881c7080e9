// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie: fork a child that outlives its welcome.  The child sleeps 30
 * seconds and exits; the parent sleeps 60 and never collects it, so for
 * the 30 seconds in between the child is a zombie for anyone to see.
 */

#include <stdio.h>
#include <unistd.h>

int
main(int argc, char *argv[])
{
	(void)argc;
	(void)argv;

	/* Nothing may be written before fork, or the child inherits it. */
	pid_t pid = fork();
	if (pid == -1) {
		/* Announcing a zombie that does not exist would be a lie. */
		perror("fork");
		return 1;
	}
	if (pid == 0) {
		(void)sleep(30);
		return 0;
	}

	/*
	 * No wait, no SIGCHLD handler and no flush: each would spoil the
	 * demonstration.  On a pipe or a file the line therefore only
	 * leaves at exit, which is what buffered output is meant to do.
	 */
	(void)printf("Je suis %d et mon fils %d va devenir un zombie\n",
	    (int)getpid(), (int)pid);
	(void)sleep(60);
	return 0;
}
