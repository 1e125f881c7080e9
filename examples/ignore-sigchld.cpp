// SPDX-License-Identifier: BSD-2-Clause
/*
 * ignore-sigchld: tell the kernel that this parent will never collect its
 * children.  With SIGCHLD set to SIG_IGN, Linux (and POSIX since 2001)
 * discards a child the moment it exits: it is never a zombie, and its
 * exit status is lost to wait, which can no longer ask for it.
 */

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

int
main()
{
	/*
	 * Must come before the child ends.  The default action ignores
	 * SIGCHLD too, but only SIG_IGN, set so, releases the children.
	 */
	(void)signal(SIGCHLD, SIG_IGN);

	pid_t pid = fork();
	if (pid == -1) {
		perror("fork");
		return 1;
	}
	if (pid == 0) {
		(void)usleep(300000);
		return 0;
	}

	/* No wait, as in zombie itself: but here nothing is left over. */
	(void)sleep(1);
	return 0;
}
