// SPDX-License-Identifier: BSD-2-Clause
/*
 * signalfd: take SIGCHLD as data rather than as an interruption.  With
 * SIGCHLD blocked, the kernel holds it pending until the main loop reads
 * it from a signalfd, where any call is safe.  Pending signals of one kind
 * do not queue: one read may stand for all three children, so it collects
 * with WNOHANG until no ended child is left, and reads again for the rest.
 */

#include <signal.h>
#include <stdio.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

int
main()
{
	sigset_t chld;
	(void)sigemptyset(&chld);
	(void)sigaddset(&chld, SIGCHLD);
	/* Before any fork: no child's end may be delivered the usual way. */
	(void)sigprocmask(SIG_BLOCK, &chld, nullptr);
	int fd = signalfd(-1, &chld, SFD_CLOEXEC);
	for (int i = 0; i < 3; i++)
		if (fork() == 0) {
			(void)usleep(300000);
			_exit(i);
		}
	struct signalfd_siginfo ssi;
	int status;
	pid_t pid;
	for (int left = 3; left > 0 && read(fd, &ssi, sizeof(ssi)) > 0;)
		for (; (pid = waitpid(-1, &status, WNOHANG)) > 0; left--)
			(void)printf("collected %d, status %d\n", (int)pid,
			    WEXITSTATUS(status));
	return 0;
}
