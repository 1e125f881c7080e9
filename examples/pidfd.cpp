// SPDX-License-Identifier: BSD-2-Clause
/*
 * pidfd: wait for a child through a file descriptor.  A pidfd names the
 * process itself, not a number the kernel may hand out again once it is
 * collected, and turns readable when the process ends, so that poll can
 * wait for it among other files; waitid(P_PIDFD) then collects it.
 */

#include <poll.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

int
main()
{
	pid_t pid = fork();
	if (pid == 0) {
		(void)usleep(300000);
		_exit(4);
	}
	/* Not yet collected, so the number can still only be this child. */
	int fd = (int)syscall(SYS_pidfd_open, pid, 0);
	if (fd == -1) {
		perror("pidfd_open");
		(void)waitpid(pid, nullptr, 0);
		return 1;
	}
	struct pollfd p = {fd, POLLIN, 0};
	if (poll(&p, 1, -1) == 1)
		(void)printf("pidfd readable: child %d ended\n", (int)pid);
	siginfo_t si = {};
	if (waitid(P_PIDFD, fd, &si, WEXITED) == 0)
		(void)printf(
		    "collected %d, status %d\n", (int)si.si_pid, si.si_status);
	(void)close(fd);
	return 0;
}
