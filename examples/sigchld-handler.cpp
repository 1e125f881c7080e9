// SPDX-License-Identifier: BSD-2-Clause
/*
 * sigchld-handler: collect children without stopping to wait.  The parent
 * goes on with its own work; the kernel sends it SIGCHLD when a child
 * ends, and the handler collects.  Three children end together, and
 * signals of one kind do not queue: the handler may run once for all
 * three, so it collects in a loop until none is left to collect.
 */

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static void
collect(int)
{
	int saved = errno; /* waitpid may change it under the main code */
	/* WNOHANG: collect those that have ended, never block for others. */
	while (waitpid(-1, nullptr, WNOHANG) > 0)
		;
	errno = saved;
}

int
main()
{
	struct sigaction sa = {};
	sa.sa_handler = collect;
	sa.sa_flags = SA_RESTART; /* a read goes on; a sleep does not */
	(void)sigaction(SIGCHLD, &sa, nullptr);

	for (int i = 0; i < 3; i++)
		if (fork() == 0) {
			(void)usleep(300000);
			_exit(i);
		}

	/* The parent's own work; a signal cuts a sleep short, so sleep on. */
	struct timespec left = {1, 500000000};
	while (nanosleep(&left, &left) == -1 && errno == EINTR)
		;
	return 0;
}
