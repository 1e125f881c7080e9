// SPDX-License-Identifier: BSD-2-Clause
/*
 * waitid-nowait: read a zombie's status without collecting it.  With
 * WNOWAIT, waitid reports the ended child but leaves it a zombie, so a
 * second look finds it still there; only a wait without WNOWAIT, here
 * waitpid, removes it.  A second child, killed by a signal, shows how a
 * status tells a kill from an exit.
 */

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int
main()
{
	pid_t pid = fork();
	if (pid == 0)
		_exit(5);
	siginfo_t si = {};
	for (int look = 1; look <= 2; look++) {
		if (waitid(P_PID, pid, &si, WEXITED | WNOWAIT) == 0 &&
		    si.si_code == CLD_EXITED)
			(void)printf("look %d: %d, CLD_EXITED, status %d\n",
			    look, (int)pid, si.si_status);
		(void)usleep(300000); /* a zombie all the while, on purpose */
	}
	int status;
	if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
		(void)printf("collected %d: exited with status %d\n", (int)pid,
		    WEXITSTATUS(status));
	if ((pid = fork()) == 0)
		for (;;)
			(void)pause(); /* until the parent's signal ends it */
	(void)kill(pid, SIGTERM);
	if (waitpid(pid, &status, 0) == pid && WIFSIGNALED(status))
		(void)printf("collected %d: killed by signal %d\n", (int)pid,
		    WTERMSIG(status));
	return 0;
}
