// SPDX-License-Identifier: BSD-2-Clause
/*
 * nocldwait: SA_NOCLDWAIT asks the kernel not to keep ended children for
 * this parent, as ignoring SIGCHLD does, but the parent may still hear
 * of each end: the signal is delivered to its handler, and the child is
 * gone already, released by the kernel, never a zombie.
 */

#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static void
heard(int)
{
	/* Only async-signal-safe calls in a handler: write, not printf. */
	static const char msg[] = "SIGCHLD: a child ended\n";
	(void)write(STDOUT_FILENO, msg, sizeof(msg) - 1);
}

int
main()
{
	struct sigaction sa = {};
	sa.sa_handler = heard;
	sa.sa_flags = SA_NOCLDWAIT;
	(void)sigaction(SIGCHLD, &sa, nullptr);

	if (fork() == 0) {
		(void)usleep(300000);
		_exit(0);
	}
	struct timespec left = {1, 0};
	while (nanosleep(&left, &left) == -1)
		; /* the signal cuts the sleep short: sleep on */
	return 0;
}
