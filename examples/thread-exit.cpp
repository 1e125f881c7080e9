// SPDX-License-Identifier: BSD-2-Clause
/*
 * thread-exit: a process ends when its last thread ends, not its first.
 * The main thread calls pthread_exit after 0.2 s; another thread works
 * on for 1.5 s.  Meanwhile ps shows the process as Zl, since the state it
 * prints is the main thread's, yet the process is alive and no zombie.
 */

#include <pthread.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static void *
work(void *)
{
	struct timespec t = {1, 500000000};
	(void)nanosleep(&t, nullptr);
	/* The last thread returning ends the process with status 0. */
	return nullptr;
}

int
main()
{
	pthread_t t;
	if (pthread_create(&t, nullptr, work, nullptr) != 0) {
		(void)fprintf(stderr, "pthread_create failed\n");
		return 1;
	}
	(void)printf(
	    "process %d: its main thread ends at 0.2 s\n", (int)getpid());
	(void)fflush(stdout); /* now, even on a pipe: ps needs the number */
	(void)usleep(200000);
	/* Returning from main would end every thread: exit only this one. */
	pthread_exit(nullptr);
}
