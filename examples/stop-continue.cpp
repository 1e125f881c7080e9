// SPDX-License-Identifier: BSD-2-Clause
/*
 * stop-continue: a stopped child has not ended.  The child stops itself;
 * waitpid with WUNTRACED reports the stop, yet the child is alive and no
 * zombie.  SIGCONT wakes it and WCONTINUED reports that; only its exit
 * makes it a zombie, for the last waitpid to collect.
 */

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int
main()
{
	int go[2];
	(void)pipe(go);
	pid_t pid = fork();
	if (pid == 0) {
		(void)close(go[1]);
		(void)raise(SIGSTOP);
		char c;
		(void)read(go[0], &c, 1); /* an exit now would hide the wake */
		_exit(6);
	}
	int status;
	if (waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status))
		(void)printf("child %d stopped by signal %d\n", (int)pid,
		    WSTOPSIG(status));
	(void)usleep(300000); /* long enough for ps to show it as T */
	(void)kill(pid, SIGCONT);
	if (waitpid(pid, &status, WCONTINUED) == pid && WIFCONTINUED(status))
		(void)printf("child %d continued\n", (int)pid);
	(void)close(go[1]); /* the end of file lets it exit */
	if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
		(void)printf("child %d exited with status %d\n", (int)pid,
		    WEXITSTATUS(status));
	return 0;
}
